// The record make_simple_crf leaves for the numbering walk (see
// walk_hint.h): made, kept and followed.
#include "feature/forest/walk_hint.h"

#include <utility>

#include "feature/forest/forest_walk.h"
#include "feature/forest/spare_room.h"
#include "prefetch.h"

namespace qv {
namespace forest {

namespace {

// The record kept, and the root of its forest (alive while the record is
// kept: freeing the root drops it).
GraphNodeObject* hint_root = nullptr;
WalkHint* hint_kept = nullptr;

void release_kept() {
    if (hint_root) hint_root->on_path &= static_cast<uint8_t>(~kHasHint);
    delete hint_kept;
    hint_root = nullptr;
    hint_kept = nullptr;
}

// The room of the last record's transitions, kept for the next one.
SpareRoom<WalkHint::Transition> spare_transitions;

// How many states ahead of the walk on its way down the first states are
// loaded (each is a few nodes away from the next).
const std::size_t kDownAhead = 3;

}  // namespace

// --- recording -------------------------------------------------------------------

namespace {

// The item array of a list, nullptr for anything else.
const void* items_of(PyObject* o) {
    return PyList_CheckExact(o) ? reinterpret_cast<PyListObject*>(o)->ob_item : nullptr;
}

}  // namespace

WalkHint::Entry WalkHint::entry_of(GraphNodeObject* n) {
    Entry e{n, n->children, items_of(n->children), 0};
    if (e.items)
        e.item_bytes = static_cast<uint32_t>(static_cast<std::size_t>(Py_SIZE(n->children)) * sizeof(PyObject*));
    if (n->featuresD == Py_None) {
        e.features = n->features;
        e.feature_items = items_of(n->features);
    }
    return e;
}

WalkHint::~WalkHint() { spare_transitions.keep(trans_); }

bool WalkHint::reserve(std::size_t positions, std::size_t candidates) {
    try {
        const std::size_t transitions = positions * candidates * candidates;
        spare_transitions.lend(trans_, transitions);
        trans_.reserve(transitions);
        if (candidates * candidates >= kManyPairs) firsts_.reserve(transitions);
        cands_.reserve(positions * candidates);
        states_.reserve(positions * candidates);
        positions_.reserve(positions);
    } catch (...) {
        return false;
    }
    return true;
}

bool WalkHint::add_candidate(GraphNodeObject* cand) {
    try {
        cands_.push_back(entry_of(cand));
    } catch (...) {
        return false;
    }
    return true;
}

bool WalkHint::add_transition(GraphNodeObject* trans) {
    try {
        if (!PyList_CheckExact(trans->children)) return false;
        trans_.push_back(
            Transition{trans, trans->children, items_of(trans->children), trans->features, items_of(trans->features)});
        if (firsts_.capacity()) {
            PyObject* f = trans->features;
            firsts_.push_back(PyList_CheckExact(f) && PyList_GET_SIZE(f) == 1 ? PyList_GET_ITEM(f, 0) : nullptr);
        }
    } catch (...) {
        return false;
    }
    return true;
}

bool WalkHint::end_position(const std::vector<GraphNodeObject*>& states, std::size_t previous) {
    const std::size_t first = states_.size();
    const std::size_t first_trans =
        positions_.empty() ? 0 : positions_.back().transitions + positions_.back().count * positions_.back().previous;
    const std::size_t expected_previous = positions_.empty() ? 1 : positions_.back().count;
    if (previous != expected_previous || cands_.size() != first + states.size() ||
        trans_.size() != first_trans + states.size() * previous)
        return false;
    try {
        for (GraphNodeObject* s : states) states_.push_back(entry_of(s));
        positions_.push_back(Position{first, states.size(), first_trans, previous});
    } catch (...) {
        return false;
    }
    return true;
}

// --- following ---------------------------------------------------------------------

void WalkHint::prefetch(const Entry& e) {
    prefetch_node(e.node);
    const char* list = static_cast<const char*>(e.children);
    prefetch_line(list);
    prefetch_line(list + offsetof(PyListObject, ob_item));
    if (e.features) prefetch_line(e.features);
    if (e.feature_items) prefetch_line(e.feature_items);
    if (e.item_bytes == 0) return;
    const char* items = static_cast<const char*>(e.items);
    for (uint32_t at = 0; at < e.item_bytes; at += 64) prefetch_line(items + at);
    prefetch_line(items + e.item_bytes - 1);
}

// S(k, j), its candidate, its first transition and the transition the walk
// reaches it through (from the next position's first state).
void WalkHint::prefetch_state(std::size_t k, std::size_t j) const {
    const Position& p = positions_[k];
    prefetch(states_[p.states + j]);
    prefetch(cands_[p.states + j]);
    prefetch(trans_[p.transitions + j * p.previous]);
    prefetch_slot(p.transitions + j * p.previous);
    if (k + 1 < positions_.size()) {
        prefetch(trans_[positions_[k + 1].transitions + j]);
        prefetch_slot(positions_[k + 1].transitions + j);
    }
}

void WalkHint::start(const GraphNodeObject*) {
    if (positions_.empty()) return;
    k_ = positions_.size() - 1;
    j_ = 0;
    down_ = true;
    expected_ = states_[positions_[k_].states].node;
    for (std::size_t d = 0; d < kDownAhead && d <= k_; ++d) prefetch_state(k_ - d, 0);
}

void WalkHint::next_state() {
    if (down_) {
        if (k_ >= kDownAhead) prefetch_state(k_ - kDownAhead, 0);
        if (k_ > 0) {
            --k_;
            expected_ = states_[positions_[k_].states].node;
            return;
        }
        // At the bottom: the walk comes back up through the states that
        // follow, loading the transitions ahead from here on.
        down_ = false;
        j_ = 0;
        if (!step_up(positions_, &k_, &j_)) {
            expected_ = nullptr;
            return;
        }
        expected_ = states_[positions_[k_].states + j_].node;
        ahead_ = 0;
        ahead_position_ = 0;
        return;
    }
    // S(k_, j_) was entered: its transitions are next.
    const Position& p = positions_[k_];
    walk_ = p.transitions + j_ * p.previous;
    if (ahead_ < walk_) {
        ahead_ = walk_;
        ahead_position_ = k_;
    }
    std::size_t k = k_, j = j_;
    bool more = true;
    for (std::size_t d = 0; d < kStatesAhead && more; ++d) more = step_up(positions_, &k, &j);
    if (more) prefetch_state(k, j);
    if (!step_up(positions_, &k_, &j_)) {
        expected_ = nullptr;
        return;
    }
    expected_ = states_[positions_[k_].states + j_].node;
}

// The states after the way down: position by position, all but the first.
bool WalkHint::step_up(const std::vector<Position>& positions, std::size_t* k, std::size_t* j) {
    if (*j + 1 < positions[*k].count) {
        ++*j;
        return true;
    }
    for (std::size_t next = *k + 1; next < positions.size(); ++next) {
        if (positions[next].count > 1) {
            *k = next;
            *j = 1;
            return true;
        }
    }
    return false;
}

// The next transition in the order they were made, leaving out those of
// every position's first state (taken on the way down and from the
// position before).
void WalkHint::prefetch_transition() {
    if (down_) return;
    while (ahead_position_ + 1 < positions_.size() && ahead_ >= positions_[ahead_position_ + 1].transitions) {
        ++ahead_position_;
        const Position& p = positions_[ahead_position_];
        if (ahead_ == p.transitions) ahead_ += p.previous;
    }
    if (ahead_ >= trans_.size()) return;
    prefetch(trans_[ahead_]);
    prefetch_slot(ahead_);
    ++ahead_;
}

// --- the best path ---------------------------------------------------------------

void WalkHint::choose(std::size_t state, uint32_t child) {
    if (state >= states_.size() || child >= kNoChoice) return;
    if (choices_.empty()) {
        try {
            choices_.assign(states_.size(), kNoChoice);
        } catch (...) {
            return;  // the extraction goes without
        }
    }
    choices_[state] = static_cast<uint16_t>(child);
}

// The best path from the last position down, by the choices: the state
// chosen at each position; the chosen transition's previous state is the
// state chosen at the position before. It ends early where a choice is
// unknown.
void WalkHint::start_best_path() {
    path_.clear();
    path_at_ = 0;
    if (choices_.empty()) return;
    try {
        path_.reserve(positions_.size());
        std::size_t j = last_choice_;
        for (std::size_t k = positions_.size(); k-- > 0;) {
            const Position& p = positions_[k];
            if (j >= p.count) break;
            path_.push_back(static_cast<uint32_t>(j));
            const std::size_t i = choices_[p.states + j];
            if (i >= p.previous) break;
            j = i;
        }
    } catch (...) {
        path_.clear();  // the extraction goes without
        return;
    }
    for (std::size_t d = 0; d < kPathAhead && d < path_.size(); ++d) prefetch_path(d);
}

void WalkHint::step_best_path() {
    if (path_at_ + kPathAhead < path_.size()) prefetch_path(path_at_ + kPathAhead);
    ++path_at_;
}

// The d-th position of the best path from the end: the state chosen there,
// its candidate, every transition into it (the extraction compares their
// inside scores) and the chosen one with its lists.
void WalkHint::prefetch_path(std::size_t d) const {
    const Position& p = positions_[positions_.size() - 1 - d];
    const std::size_t j = path_[d];
    prefetch(states_[p.states + j]);
    prefetch(cands_[p.states + j]);
    const std::size_t first = p.transitions + j * p.previous;
    for (std::size_t t = 0; t < p.previous; ++t) {
        prefetch_node(trans_[first + t].node);
    }
    if (d + 1 < path_.size()) prefetch(trans_[first + path_[d + 1]]);
}

// --- keeping -----------------------------------------------------------------------

void keep_hint(GraphNodeObject* root, std::unique_ptr<WalkHint> hint) {
    release_kept();
    hint_kept = hint.release();
    hint_root = root;
    root->on_path |= kHasHint;
}

std::unique_ptr<WalkHint> take_hint(GraphNodeObject* root) {
    if (!(root->on_path & kHasHint) || root != hint_root) return nullptr;
    std::unique_ptr<WalkHint> hint(hint_kept);
    hint_kept = nullptr;
    release_kept();
    return hint;
}

void drop_hint(GraphNodeObject* root) {
    if (root == hint_root) release_kept();
}

}  // namespace forest
}  // namespace qv
