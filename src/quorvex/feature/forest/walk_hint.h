// What make_simple_crf knows about the forest it built, left for the
// numbering walk of the decoder.
//
// The numbering walk is the first walk over a new forest, so it has no
// record of an earlier walk to follow (see NodeOrder): on a forest too
// large for the caches, every node it enters costs a few misses one after
// the other (node, children list, item array), and its own lookahead stays
// within one node's children. The builder knows the forest it made and so
// the order in which the walk will enter its nodes, as long as nobody
// changes the forest in between. It writes down, in the order it makes
// them, the address of every line the walk will read, and the walk starts
// loading them well before it gets there.
//
// The order of the walk. Position k has the states S(k, j), one per
// candidate c(k, j), and the transitions T(k, j, i) from the previous
// position's state i into S(k, j), children [c(k, j), S(k-1, i)] (the
// start node before position 0); the stop node's children are the last
// position's states. Depth first from the stop node, every node entered
// once, the walk first goes down the first states, S(K-1, 0) to S(0, 0),
// each through its first transition and candidate. On the way back the
// first state of position k+1 enters the other states of position k, one
// by one through its transitions T(k+1, 0, j), and each of them its own
// transitions in order; the stop node enters the last position's. So after
// the way down the walk takes the states of each position from the second
// on, position by position, their transitions in the order they were made.
//
// The record is a hint and nothing else: its addresses are only ever
// prefetched, never read through (the forest may have been edited and
// nodes freed since it was built), and the walk checks the states it
// enters against the record, following it only while the two agree. A
// forest edited in between is numbered exactly as without the record, only
// without this prefetching.
#ifndef QUORVEX_FEATURE_FOREST_WALK_HINT_H
#define QUORVEX_FEATURE_FOREST_WALK_HINT_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "feature/combine/vector_cache.h"
#include "feature/forest/forest.h"

namespace qv {
namespace forest {

// The bit of on_path that marks the root of a forest with a record kept.
const uint8_t kHasHint = 128;

class WalkHint {
public:
    WalkHint() = default;
    ~WalkHint();
    WalkHint(const WalkHint&) = delete;
    WalkHint& operator=(const WalkHint&) = delete;

    // A transition: its children list always holds two items, its features
    // list one (or two, with the STOP feature added later).
    struct Transition {
        const void* node;
        const void* children;
        const void* items;
        const void* features;
        const void* feature_items;
    };

    // Recording, while the forest is built position by position from plain
    // candidates (a position built otherwise is not described: the builder
    // then drops the record). Nodes are read when they are handed over,
    // while they are alive.
    //
    // The candidates of the position being built, in order.
    bool add_candidate(GraphNodeObject* cand);
    // Its transitions, candidate by candidate, previous states in order.
    bool add_transition(GraphNodeObject* trans);
    // The position is complete: its states in candidate order, and the
    // number of previous states. False when the position is not one the
    // record describes (each state reached from every previous state).
    bool end_position(const std::vector<GraphNodeObject*>& states, std::size_t previous);
    // Room for the transitions of a forest of this size.
    bool reserve(std::size_t positions, std::size_t candidates);
    // The number of nodes recorded (with the stop and start nodes).
    std::size_t nodes() const { return trans_.size() + states_.size() + cands_.size() + 2; }

    // Following, in the numbering walk: n was entered.
    void follow(const GraphNodeObject* n) {
        if (n == expected_) {
            in_step_ = true;
            entered_state_ = positions_[k_].states + j_;
            next_state();
        } else if (n->isDisjunctive) {
            in_step_ = false;  // a state the record did not expect
        }
        if (!in_step_) return;
        ++walk_;
        for (int k = 0; k < 2 && ahead_ < walk_ + kAhead; ++k) prefetch_transition();
    }
    // Whether the walk is where the record says (the last state it entered
    // was the one expected); it then finds the nodes ahead loaded.
    bool in_step() const { return in_step_; }
    // Before the walk: the root it starts from.
    void start(const GraphNodeObject* root);
    // The vector cache the walk looks the transitions' feature lists up in.
    // With many label pairs its slots do not stay in the caches along with
    // the forest, and the record (which then holds each transition's
    // feature) has them prefetched with the transitions.
    void vectors_from(const VectorCache* memo) { memo_ = firsts_.empty() ? nullptr : memo; }
    // The state follow() was last given, if it was the one expected (an
    // index of the record's states), kNoState otherwise.
    static constexpr std::size_t kNoState = ~std::size_t(0);
    std::size_t entered_state() const { return in_step_ ? entered_state_ : kNoState; }

    // Decoding: the child a state (by the index above) or the root took as
    // its best, by its place among the node's children, as the scoring walk
    // found it.
    void choose(std::size_t state, uint32_t child);
    void choose_last(uint32_t child) { last_choice_ = child; }
    // Then the extraction of the best derivation, which goes from the last
    // position to the first through lines far apart in memory: it calls
    // step_best_path() at every OR node it enters (the root, then the state
    // chosen at each position), and the lines it will read a few positions
    // on are loaded meanwhile.
    void start_best_path();
    void step_best_path();

private:
    // A node and what the walk reads of it: the lines of its fields, its
    // children list and the list's item array, and its features list with
    // the list's item array (which the walk reads when it vectorises them).
    struct Entry {
        const void* node;
        const void* children;
        const void* items;
        uint32_t item_bytes;
        const void* features = nullptr;
        const void* feature_items = nullptr;
    };
    struct Position {
        std::size_t states;       // index of its first state (and candidate)
        std::size_t count;        // its states
        std::size_t transitions;  // index of its first transition
        std::size_t previous;     // the previous position's states
    };

    // How many transitions ahead of the walk they are loaded.
    static const std::size_t kAhead = 24;
    // How many states ahead of the walk a state (with its candidate and the
    // transition the walk reaches it through) is loaded.
    static const std::size_t kStatesAhead = 2;

    static Entry entry_of(GraphNodeObject* n);
    static void prefetch(const Entry& e);
    static void prefetch(const Transition& t) {
        prefetch(Entry{t.node, t.children, t.items, 2 * sizeof(PyObject*), t.features, t.feature_items});
    }
    // The state the walk is expected to enter next, after the one it just
    // entered; the walk's place and the loads ahead move with it.
    void next_state();
    void prefetch_state(std::size_t k, std::size_t j) const;
    // The state after S(*k, *j) once the walk is on its way up: false when
    // there is none.
    static bool step_up(const std::vector<Position>& positions, std::size_t* k, std::size_t* j);
    void prefetch_transition();

    std::vector<Position> positions_;
    std::vector<Entry> states_;
    std::vector<Entry> cands_;
    std::vector<Transition> trans_;

    // Following: the state expected next is S(k_, j_) (on the way down
    // while down_), nullptr when none is.
    // With many label pairs: each transition's one feature when it was
    // recorded, by transition (only its address is used).
    std::vector<PyObject*> firsts_;
    const VectorCache* memo_ = nullptr;
    static const std::size_t kManyPairs = 1024;
    void prefetch_slot(std::size_t t) const {
        if (memo_ && t < firsts_.size() && firsts_[t]) memo_->prefetch_one(firsts_[t]);
    }

    const void* expected_ = nullptr;
    std::size_t k_ = 0, j_ = 0;
    bool down_ = true;
    bool in_step_ = false;
    // How many positions ahead of the extraction the best path is loaded.
    static const std::size_t kPathAhead = 6;
    void prefetch_path(std::size_t d) const;
    std::vector<uint32_t> path_;  // the state chosen, from the last position down
    std::size_t path_at_ = 0;
    std::size_t entered_state_ = 0;
    std::vector<uint16_t> choices_;     // by state, kNoChoice where unknown
    uint32_t last_choice_ = kNoChoice;  // the root's
    static constexpr uint16_t kNoChoice = 0xffff;
    std::size_t walk_ = 0;   // about where the walk is in trans_
    std::size_t ahead_ = 0;  // the next transition to load
    std::size_t ahead_position_ = 0;
};

// The record of a forest, kept from building to numbering: one forest at a
// time (the one built last), released when the forest's root is freed, a
// later forest gets a record, or the decoder takes it.
void keep_hint(GraphNodeObject* root, std::unique_ptr<WalkHint> hint);
// The record of the forest under root, or nullptr; the record is no longer
// kept.
std::unique_ptr<WalkHint> take_hint(GraphNodeObject* root);
// root (a node whose on_path has kHasHint) is being freed.
void drop_hint(GraphNodeObject* root);

}  // namespace forest
}  // namespace qv

#endif
