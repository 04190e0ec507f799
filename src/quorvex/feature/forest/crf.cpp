// Linear-chain CRF forests: crf_dict (label -> state node of one position),
// make_simple_crf (builds the forest from per-position candidates) and
// decode_simple_crf (Viterbi decoding through the generic forest passes).
//
// Forest of K positions: the start node (AND "*start*") is the one state
// before position 0, under the key None. For every position k, previous
// state (st_old, node_old) and candidate cand there is one transition, an
// AND node "[k]st_old->label" with children [cand, node_old] and the one
// feature ("Tst_old-label", 1.0); it is a child of the state node (an OR
// node labelled None) of cand's label at position k. The stop node (OR
// "*stop*") has the last position's states as children, and transitions
// into the last position carry the feature ("STOP", 1.0) as well.
#include <algorithm>
#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "common/args.h"
#include "common/collection_pause.h"
#include "common/identity_map.h"
#include "common/interned.h"
#include "common/numpy_handles.h"
#include "feature/combine/fcombo.h"
#include "feature/forest/forest_walk.h"
#include "feature/forest/walk_hint.h"

namespace qv {

PyObject* crf_dict_type = nullptr;

namespace {

using forest::append_to;
using forest::check_node;

PyObject* crf_missing_method = nullptr;  // the __missing__ installed on crf_dict

// --- crf_dict ---------------------------------------------------------------------------

PyObject* crf_dict_missing(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"self", "x", nullptr};
    static const ArgSpec spec{"__missing__", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    Ref node(new_graph_node(Py_None, true));
    if (!node || PyObject_SetItem(a[0], a[1], node.get()) < 0) return nullptr;
    return node.release();
}

PyMethodDef crf_dict_missing_def = {"__missing__", reinterpret_cast<PyCFunction>(crf_dict_missing),
                                    METH_FASTCALL | METH_KEYWORDS,
                                    "__missing__(self, x)\n--\n\n"
                                    "-> GraphNode: stores a new OR node labelled None under x and returns it."};

// --- text helpers -------------------------------------------------------------------------

// "[k]" as a new str.
PyObject* position_prefix(std::size_t k) {
    char text[24] = {'['};
    char* end = std::to_chars(text + 1, text + sizeof text - 1, k).ptr;
    *end++ = ']';
    PyObject* r = PyUnicode_New(end - text, 127);
    if (r) std::memcpy(PyUnicode_1BYTE_DATA(r), text, static_cast<std::size_t>(end - text));
    return r;
}

// The concatenation of str objects (new reference).
PyObject* concat(std::initializer_list<PyObject*> parts) {
    Py_ssize_t len = 0;
    Py_UCS4 maxchar = 127;
    bool ascii = true;
    for (PyObject* p : parts) {
        len += PyUnicode_GET_LENGTH(p);
        if (!PyUnicode_IS_ASCII(p)) {
            ascii = false;
            Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(p);
            maxchar = std::max(maxchar, m);
        }
    }
    PyObject* r = PyUnicode_New(len, maxchar);
    if (!r) return nullptr;
    Py_ssize_t at = 0;
    for (PyObject* p : parts) {
        Py_ssize_t n = PyUnicode_GET_LENGTH(p);
        if (ascii) {
            std::memcpy(PyUnicode_1BYTE_DATA(r) + at, PyUnicode_1BYTE_DATA(p), static_cast<std::size_t>(n));
        } else if (PyUnicode_CopyCharacters(r, at, p, 0, n) < 0) {
            Py_DECREF(r);
            return nullptr;
        }
        at += n;
    }
    return r;
}

// The transition features ("T<old>-<label>", 1.0), one tuple per pair of
// texts for the whole process: the forests of every sentence then carry
// the very same feature items, which lets a combiner find their vectors by
// identity (see VectorCache). Tuples of a str and a float are immutable, so
// sharing them between forests changes nothing that can be observed
// beyond their identity.
//
// Pairs are found by the identity of the two texts first (a map that keeps
// the texts alive, so an address cannot be reused, and grows with the
// pairs of labels seen), then by their UTF-8 content; both maps are bounded
// and start afresh when full.
class TransitionPairs {
public:
    // The pair (borrowed from the table; made when no entry holds it),
    // nullptr on error.
    PyObject* get(PyObject* old_text, PyObject* text, PyObject* t, PyObject* dash, PyObject* one) {
        IdentityKey<2> id;
        id.item[0] = old_text;
        id.item[1] = text;
        id.n = 2;
        if (PyObject* pair = by_identity_.find(id)) return pair;
        Ref pair;
        std::string& key = scratch_;
        key.clear();
        bool keyed = content_key(old_text, text, &key);
        if (keyed) {
            auto found = by_content_.find(key);
            if (found != by_content_.end()) pair = Ref::borrow(found->second.get());
        }
        if (!pair) {
            Ref name(concat({t, old_text, dash, text}));
            pair = Ref(name ? PyTuple_Pack(2, name.get(), one) : nullptr);
            if (!pair) return nullptr;
            if (keyed) {
                QV_TRY
                if (by_content_.size() >= kMaxContent) by_content_.clear();
                by_content_.emplace(key, Ref::borrow(pair.get()));
                QV_CATCH(nullptr)
            }
        }
        QV_TRY by_identity_.put(id, pair.get());
        QV_CATCH(nullptr)
        return by_identity_.find(id);
    }

private:
    static const std::size_t kMaxPairs = 1 << 16;
    static const std::size_t kMaxContent = 1 << 16;
    static bool append_text(PyObject* s, std::string* key) {
        Py_ssize_t n;
        const char* p = PyUnicode_AsUTF8AndSize(s, &n);
        if (!p) {
            PyErr_Clear();  // not encodable: such pairs are simply not kept
            return false;
        }
        uint32_t len = static_cast<uint32_t>(n);
        key->append(reinterpret_cast<const char*>(&len), sizeof len);
        key->append(p, static_cast<std::size_t>(n));
        return true;
    }
    static bool content_key(PyObject* old_text, PyObject* text, std::string* key) {
        return append_text(old_text, key) && append_text(text, key);
    }
    IdentityMap<2> by_identity_{kMaxPairs};
    std::unordered_map<std::string, Ref> by_content_;
    std::string scratch_;  // the content key being looked up
};

// Never destroyed: it holds Python objects, which must not be released
// after the interpreter is gone.
TransitionPairs& transition_pairs = *new TransitionPairs();

// What one candidate contributes, found once per position: its label, the
// label's text and its state node.
struct Candidate {
    Ref node;
    Ref label;
    Ref text;
    Ref state;
};

class CrfBuilder {
public:
    bool init() {
        // The constant texts and the STOP pair are made once for the
        // process (never released, like the module's other constants), so
        // that every forest carries the very same STOP item.
        static Ref* constants = nullptr;
        enum { kStart, kStop, kT, kDash, kArrow, kOne, kNone, kStopFeature, kCount };
        if (!constants) {
            Ref made[kCount];
            made[kStart] = Ref(PyUnicode_InternFromString("*start*"));
            made[kStop] = Ref(PyUnicode_InternFromString("*stop*"));
            made[kT] = Ref(PyUnicode_InternFromString("T"));
            made[kDash] = Ref(PyUnicode_InternFromString("-"));
            made[kArrow] = Ref(PyUnicode_InternFromString("->"));
            made[kOne] = Ref(PyFloat_FromDouble(1.0));
            made[kNone] = Ref(PyUnicode_InternFromString("None"));
            Ref stop_name(PyUnicode_InternFromString("STOP"));
            for (int i = 0; i < kStopFeature; ++i)
                if (!made[i]) return false;
            made[kStopFeature] = Ref(stop_name ? PyTuple_Pack(2, stop_name.get(), made[kOne].get()) : nullptr);
            if (!made[kStopFeature]) return false;
            QV_TRY constants = new Ref[kCount];
            QV_CATCH(false)
            for (int i = 0; i < kCount; ++i) constants[i] = std::move(made[i]);
        }
        start_label_ = Ref::borrow(constants[kStart].get());
        stop_label_ = Ref::borrow(constants[kStop].get());
        t_ = Ref::borrow(constants[kT].get());
        dash_ = Ref::borrow(constants[kDash].get());
        arrow_ = Ref::borrow(constants[kArrow].get());
        one_ = Ref::borrow(constants[kOne].get());
        none_text_ = Ref::borrow(constants[kNone].get());
        stop_feature_ = Ref::borrow(constants[kStopFeature].get());
        // The state of a candidate's label can be kept for the whole position
        // as long as crf_dict keeps the nodes it creates (its own __missing__).
        static Interned missing("__missing__");
        PyObject* missing_name = missing.get();
        if (!missing_name) return false;
        PyTypeObject* dict_type = reinterpret_cast<PyTypeObject*>(crf_dict_type);
        stable_states_ = _PyType_Lookup(dict_type, missing_name) == crf_missing_method;
        // With dict's own __getitem__ and __setitem__ as well (nobody
        // replaced them on the class), next_states[lbl] is a dict lookup
        // that stores a new OR node when it misses: done here directly
        // instead of through the Python-level methods.
        static Interned getitem("__getitem__"), setitem("__setitem__");
        PyObject* getitem_name = getitem.get();
        PyObject* setitem_name = setitem.get();
        if (!getitem_name || !setitem_name) return false;
        direct_states_ = stable_states_ &&
                         _PyType_Lookup(dict_type, getitem_name) == _PyType_Lookup(&PyDict_Type, getitem_name) &&
                         _PyType_Lookup(dict_type, setitem_name) == _PyType_Lookup(&PyDict_Type, setitem_name);
        // ... and with the construction of its base (no __new__ or
        // __init__ of its own), an instance is nothing but a dict.
        static Interned new_("__new__"), init("__init__");
        PyObject* new_name = new_.get();
        PyObject* init_name = init.get();
        if (!new_name || !init_name) return false;
        PyTypeObject* base = dict_type->tp_base;
        plain_states_ = direct_states_ && base &&
                        _PyType_Lookup(dict_type, new_name) == _PyType_Lookup(base, new_name) &&
                        _PyType_Lookup(dict_type, init_name) == _PyType_Lookup(base, init_name);
        return true;
    }

    PyObject* build(PyObject* nodes) {
        // First pass: one crf_dict per position. While the class is the
        // plain one, its instances stay private to this function and do
        // nothing a dict does not do, so a plain dict per position, made
        // when the position is reached, stands in for each.
        std::vector<Ref> nlist;
        std::size_t positions = 0;
        {
            Ref it(PyObject_GetIter(nodes));
            if (!it) return nullptr;
            while (Ref item{PyIter_Next(it.get())}) {
                ++positions;
                if (plain_states_) continue;
                Ref d(PyObject_CallNoArgs(crf_dict_type));
                if (!d) return nullptr;
                QV_TRY nlist.push_back(std::move(d));
                QV_CATCH(nullptr)
            }
            if (PyErr_Occurred()) return nullptr;
        }
        positions_ = positions;
        Ref start(new_graph_node(start_label_.get(), false));
        Ref states(PyDict_New());
        if (!start || !states || PyDict_SetItem(states.get(), Py_None, start.get()) < 0) return nullptr;
        // Second pass: the transitions into each position.
        Ref it(PyObject_GetIter(nodes));
        if (!it) return nullptr;
        std::size_t k = 0;
        while (Ref ns{PyIter_Next(it.get())}) {
            if (k >= positions) {
                PyErr_SetString(PyExc_IndexError, "list index out of range");
                return nullptr;
            }
            Ref next_states = plain_states_ ? Ref(PyDict_New()) : Ref::borrow(nlist[k].get());
            if (!next_states) return nullptr;
            if (!add_position(k, ns.get(), states.get(), next_states.get())) return nullptr;
            states = std::move(next_states);
            ++k;
        }
        if (PyErr_Occurred()) return nullptr;
        return finish(states.get());
    }

private:
    // Transitions from every state of `states` into position k.
    bool add_position(std::size_t k, PyObject* ns, PyObject* states, PyObject* next_states) {
        // Both vectors are members so that their room is reused from one
        // position to the next.
        std::vector<std::pair<Ref, Ref>>& old = old_;
        std::vector<Candidate>& cands = cands_;
        old.clear();
        cands.clear();
        {
            Py_ssize_t pos = 0;
            PyObject *key, *value;
            QV_TRY
            while (PyDict_Next(states, &pos, &key, &value)) old.emplace_back(Ref::borrow(key), Ref::borrow(value));
            QV_CATCH(false)
        }
        if (old.empty()) {
            hint_.reset();
            return true;
        }
        Ref prefix(position_prefix(k));
        if (!prefix) return false;
        const bool indexed = PyList_CheckExact(ns) || PyTuple_CheckExact(ns);
        if (indexed && plain_position(ns)) return add_plain_position(k, prefix.get(), ns, next_states);
        hint_.reset();
        for (auto& [st_old, node_old] : old) {
            // str(None) is always "None"; one text for it keeps the start
            // state's transition pairs found by identity.
            Ref old_text(st_old.get() == Py_None ? Ref::borrow(none_text_.get()) : Ref(PyObject_Str(st_old.get())));
            Ref head(old_text ? concat({prefix.get(), old_text.get(), arrow_.get()}) : nullptr);
            if (!head) return false;
            // The candidates, as a fresh `for cand in ns` sees them.
            Ref seq = indexed ? Ref::borrow(ns) : Ref(PySequence_List(ns));
            if (!seq) return false;
            for (Py_ssize_t j = 0;; ++j) {
                PyObject* s = seq.get();
                Py_ssize_t n = PyList_CheckExact(s) ? PyList_GET_SIZE(s) : PyTuple_GET_SIZE(s);
                if (j >= n) break;
                PyObject* cand = PyList_CheckExact(s) ? PyList_GET_ITEM(s, j) : PyTuple_GET_ITEM(s, j);
                if (static_cast<std::size_t>(j) >= cands.size()) {
                    QV_TRY cands.resize(static_cast<std::size_t>(j) + 1);
                    QV_CATCH(false)
                }
                Candidate& c = cands[static_cast<std::size_t>(j)];
                if (c.node.get() != cand || !stable_states_) {
                    Ref hold = Ref::borrow(cand);
                    if (!check_node(cand)) return false;
                    // A subclass may compute its label: ask it like any attribute.
                    Ref label = Py_IS_TYPE(cand, &GraphNode_Type) ? Ref::borrow(as_node(cand)->label)
                                                                  : Ref(PyObject_GetAttrString(cand, "label"));
                    if (!label) return false;
                    Ref text(PyObject_Str(label.get()));
                    if (!text) return false;
                    Ref state(state_of(next_states, label.get()));
                    if (!state || !check_node(state.get())) return false;
                    c = Candidate{std::move(hold), std::move(label), std::move(text), std::move(state)};
                }
                if (!add_transition(head.get(), old_text.get(), c, node_old.get())) return false;
            }
        }
        return true;
    }

    // Whether the position can be built candidate by candidate: states
    // that come from dicts without Python code (direct_states_), previous
    // states keyed by None or str, candidates that are plain GraphNodes
    // with distinct str labels. Nothing that runs Python code is asked on
    // the way then, and every state node receives exactly the transitions
    // of one candidate, in the order of the previous states, whichever
    // loop is outside; so the forest is the same as the one built previous
    // state by previous state.
    bool plain_position(PyObject* ns) {
        if (!direct_states_) return false;
        for (auto& st : old_)
            if (st.first.get() != Py_None && !PyUnicode_CheckExact(st.first.get())) return false;
        const bool list = PyList_CheckExact(ns);
        const Py_ssize_t n = list ? PyList_GET_SIZE(ns) : PyTuple_GET_SIZE(ns);
        PyObject** items = list ? &PyList_GET_ITEM(ns, 0) : &PyTuple_GET_ITEM(ns, 0);
        if (n > 64) {
            // Distinct labels checked through a set of their identities
            // would cost more than it saves on such rare positions.
            return false;
        }
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject* cand = items[j];
            if (!Py_IS_TYPE(cand, &GraphNode_Type) || !PyUnicode_CheckExact(as_node(cand)->label)) return false;
            for (Py_ssize_t i = 0; i < j; ++i) {
                PyObject* a = as_node(items[i])->label;
                PyObject* b = as_node(cand)->label;
                if (a == b || (PyUnicode_GET_LENGTH(a) == PyUnicode_GET_LENGTH(b) && PyUnicode_Compare(a, b) == 0))
                    return false;
            }
        }
        return true;
    }

    // The transitions into a plain position, made candidate by candidate:
    // the transitions of one state node then lie next to each other in
    // memory, which keeps the walks over a large forest (and freeing it)
    // from jumping across the whole position for every child.
    bool add_plain_position(std::size_t k, PyObject* prefix, PyObject* ns, PyObject* next_states) {
        std::vector<std::pair<Ref, Ref>>& old = old_;
        std::vector<Candidate>& cands = cands_;
        std::vector<std::pair<Ref, Ref>>& heads = heads_;  // (old text, "[k]old->")
        heads.clear();
        QV_TRY
        for (auto& st : old) {
            Ref old_text = st.first.get() == Py_None ? Ref::borrow(none_text_.get()) : Ref::borrow(st.first.get());
            Ref head(concat({prefix, old_text.get(), arrow_.get()}));
            if (!head) return false;
            heads.emplace_back(std::move(old_text), std::move(head));
        }
        const bool list = PyList_CheckExact(ns);
        const Py_ssize_t n = list ? PyList_GET_SIZE(ns) : PyTuple_GET_SIZE(ns);
        if (k == 0) start_hint(static_cast<std::size_t>(n));
        if (cands.size() < static_cast<std::size_t>(n)) cands.resize(static_cast<std::size_t>(n));
        // The states first, in candidate order, as the first previous state
        // would create them.
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject* cand = list ? PyList_GET_ITEM(ns, j) : PyTuple_GET_ITEM(ns, j);
            Candidate& c = cands[static_cast<std::size_t>(j)];
            if (c.node.get() == cand && stable_states_) continue;
            Ref label = Ref::borrow(as_node(cand)->label);
            Ref state(state_of(next_states, label.get()));
            if (!state || !check_node(state.get())) return false;
            Ref text = Ref::borrow(label.get());
            c = Candidate{Ref::borrow(cand), std::move(label), std::move(text), std::move(state)};
        }
        for (Py_ssize_t j = 0; j < n; ++j) {
            Candidate& c = cands[static_cast<std::size_t>(j)];
            if (hint_ && !hint_->add_candidate(as_node(c.node.get()))) hint_.reset();
            for (std::size_t i = 0; i < old.size(); ++i)
                if (!add_transition(heads[i].second.get(), heads[i].first.get(), c, old[i].second.get())) return false;
        }
        if (hint_) end_hint_position(static_cast<std::size_t>(n));
        QV_CATCH(false)
        return true;
    }

    // At the first position: a forest of about positions_ * n * n
    // transitions is recorded for the decoder when the walks over it
    // prefetch (see walk_hint.h).
    void start_hint(std::size_t n) {
        if (positions_ * n * n < forest::kPrefetchFrom) return;
        try {
            hint_.reset(new forest::WalkHint());
        } catch (...) {
            return;  // a record is never needed: the walk does without
        }
        if (!hint_->reserve(positions_, n)) hint_.reset();
    }

    // The position of n candidates is complete: its states for the record.
    void end_hint_position(std::size_t n) {
        try {
            state_nodes_.clear();
            for (std::size_t j = 0; j < n; ++j) state_nodes_.push_back(as_node(cands_[j].state.get()));
        } catch (...) {
            hint_.reset();
            return;
        }
        if (!hint_->end_position(state_nodes_, old_.size())) hint_.reset();
    }

    // next_states[label] (new reference).
    PyObject* state_of(PyObject* next_states, PyObject* label) {
        const bool ours = Py_TYPE(next_states) == reinterpret_cast<PyTypeObject*>(crf_dict_type) ||
                          (plain_states_ && PyDict_CheckExact(next_states));
        if (!direct_states_ || !ours) return PyObject_GetItem(next_states, label);
        PyObject* found = PyDict_GetItemWithError(next_states, label);  // borrowed
        if (found) {
            Py_INCREF(found);
            return found;
        }
        if (PyErr_Occurred()) return nullptr;
        Ref node(new_graph_node(Py_None, true));
        if (!node || PyDict_SetItem(next_states, label, node.get()) < 0) return nullptr;
        return node.release();
    }

    bool add_transition(PyObject* head, PyObject* old_text, Candidate& c, PyObject* node_old) {
        Ref label(concat({head, c.text.get()}));
        Ref children(label ? PyList_New(2) : nullptr);
        if (!children) return false;
        Py_INCREF(c.node.get());
        PyList_SET_ITEM(children.get(), 0, c.node.get());
        Py_INCREF(node_old);
        PyList_SET_ITEM(children.get(), 1, node_old);
        PyObject* feature = transition_feature(old_text, c.text.get());
        Ref features(feature ? PyList_New(1) : nullptr);
        if (!features) return false;
        Py_INCREF(feature);
        PyList_SET_ITEM(features.get(), 0, feature);
        Ref trans(forest::new_copy_node(label.get(), features.get(), Py_None, children.get()));
        if (!trans) return false;
        if (hint_ && !hint_->add_transition(as_node(trans.get()))) hint_.reset();
        Ref state_children = Ref::borrow(as_node(c.state.get())->children);
        return append_to(state_children.get(), trans.get());
    }

    // ("T<old>-<label>", 1.0), one shared tuple per pair of texts (borrowed).
    PyObject* transition_feature(PyObject* old_text, PyObject* text) {
        return transition_pairs.get(old_text, text, t_.get(), dash_.get(), one_.get());
    }

    // The stop node over the last states; their transitions get "STOP".
    PyObject* finish(PyObject* states) {
        Ref stop(new_graph_node(stop_label_.get(), true));
        if (!stop) return nullptr;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        std::vector<Ref> last;
        QV_TRY
        while (PyDict_Next(states, &pos, &key, &value)) last.push_back(Ref::borrow(value));
        QV_CATCH(nullptr)
        for (Ref& state : last) {
            if (!append_to(as_node(stop.get())->children, state.get())) return nullptr;
            if (!check_node(state.get())) return nullptr;
            forest::ChildIter trans_it;
            if (!trans_it.start(as_node(state.get())->children)) return nullptr;
            for (;;) {
                Ref trans;
                int r = trans_it.next(&trans);
                if (r < 0) return nullptr;
                if (r == 0) break;
                Ref feats = Ref::borrow(as_node(trans.get())->features);
                if (PyList_CheckExact(feats.get())) {
                    if (PyList_Append(feats.get(), stop_feature_.get()) < 0) return nullptr;
                } else {
                    Ref one(PyList_New(1));
                    if (!one) return nullptr;
                    Py_INCREF(stop_feature_.get());
                    PyList_SET_ITEM(one.get(), 0, stop_feature_.get());
                    if (!Ref(PyObject_CallMethod(feats.get(), "extend", "O", one.get()))) return nullptr;
                }
                set_field(as_node(trans.get())->features, feats.release());
            }
        }
        // Large forests leave the order of their numbering walk for the
        // decoder (see walk_hint.h).
        if (hint_) forest::keep_hint(as_node(stop.get()), std::move(hint_));
        return stop.release();
    }

    Ref start_label_, stop_label_, t_, dash_, arrow_, one_, none_text_, stop_feature_;
    bool stable_states_ = false;
    bool direct_states_ = false;
    bool plain_states_ = false;
    std::vector<std::pair<Ref, Ref>> old_;       // the previous position's states
    std::vector<Candidate> cands_;               // the current position's candidates
    std::vector<std::pair<Ref, Ref>> heads_;     // per previous state: its text, "[k]<text>->"
    std::size_t positions_ = 0;                  // as the first pass counted them
    std::unique_ptr<forest::WalkHint> hint_;     // the record of a large forest
    std::vector<GraphNodeObject*> state_nodes_;  // a position's states, for hint_
};

PyObject* make_simple_crf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"nodes", nullptr};
    static const ArgSpec spec{"make_simple_crf", names, 1, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return build_simple_crf(a[0]);
}

}  // namespace

PyObject* build_simple_crf(PyObject* nodes) {
    QV_TRY
    CollectionPause pause;
    CrfBuilder b;
    if (!b.init()) return nullptr;
    return b.build(nodes);
    QV_CATCH(nullptr)
}

namespace {

// --- decode_simple_crf ---------------------------------------------------------------------

PyObject* new_done_array(int32_t n) {
    static Interned byte_code("b");
    PyObject* code = byte_code.get();
    if (!code) return nullptr;
    Ref size(PyLong_FromLong(n));
    if (!size) return nullptr;
    PyObject* args[] = {size.get(), code};
    PyObject* zeros = numpy_handle(Numpy::zeros);
    return zeros ? PyObject_Vectorcall(zeros, args, 2, nullptr) : nullptr;
}

// The weight array must be a one-dimensional float64 array with an entry
// for every word of the combiner's dictionary (ValueError otherwise, or the
// buffer's own TypeError).
bool check_crf_weights(PyObject* weights, PyObject* fc) {
    View1D view{};
    if (!view_set(view, weights, Elem::Float64, false)) return false;
    const Py_ssize_t len = view.len;
    view_release(view);
    if (fc == Py_None) return true;
    PyObject* dict = as_fc(fc)->dict;
    if (!dict || dict == Py_None) return true;  // vectorising raises its own error
    const std::size_t words = as_alph(dict)->map.size();
    if (static_cast<std::size_t>(len) < words) {
        PyErr_Format(PyExc_ValueError,
                     "decode_simple_crf: the weight array has %zd entries, fewer than the %zu words of the "
                     "combiner's dictionary",
                     len, words);
        return false;
    }
    return true;
}

PyObject* decode_forest(PyObject* const* a);

PyObject* decode_simple_crf(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n", "weights", "fc", nullptr};
    static const ArgSpec spec{"decode_simple_crf", names, 0, 3};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    // Decoding allocates along the forest (vectors, copies of the best
    // derivation) while the whole forest is alive: as for building it,
    // automatic collection waits until the decoder is done.
    CollectionPause pause;
    return decode_forest(a);
}

// decode_simple_crf on its parsed arguments (n, weights, fc).
// Numbers the forest under n and gives every node its local and inside
// scores, as assign_ids, calcPotential and calcInsideMin one after the
// other; *num_nodes is the number of nodes. False with the first error.
// The builder's record, if any, is followed and left in `hint` when the
// extraction can follow it too.
bool number_and_score(GraphNodeObject* n, PyObject* weights, PyObject* fc, int32_t* num_nodes,
                      std::unique_ptr<forest::WalkHint>& hint) {
    int ov_ids = forest::overrides(n, forest::op_assign_ids);
    if (ov_ids < 0) PyErr_Clear();  // the dispatcher reports it again
    // A plain root: the three in one walk as far as the forest allows (see
    // number_and_score.cpp); the walks below take over where it stops.
    int32_t numbered = 0;
    if (ov_ids == 0) {
        if (forest::walk_number_and_score(n, weights, fc, hint.get(), &numbered)) {
            *num_nodes = numbered;
            return true;
        }
        hint.reset();  // the record was followed as far as the walk went
    }
    // The numbering walk also starts loading the weights of the vectors
    // already there (the candidates') for the scoring walk.
    forest::WeightsDot ahead(weights);
    forest::NodeOrder order;
    Ref count(ov_ids == 0 ? forest::walk_assign_ids(n, numbered, &ahead, &order, hint.get())
                          : graph_node_ops.assign_ids(n, 0));
    hint.reset();
    if (!count || !to_int32(count.get(), num_nodes)) return false;
    Ref done(new_done_array(*num_nodes));
    if (!done) return false;
    // On a plain root the local scores and the inside scores come from one
    // walk where that cannot differ from two passes (see walk_calc_potential).
    // Unlike calcPotential, which prints its errors, decoding raises the
    // first error of the scoring pass: a path from a half-scored forest
    // would be a wrong answer.
    forest::FusedInside inside;
    int ov_potential = forest::overrides(n, forest::op_calc_potential);
    if (ov_potential < 0) return false;
    int ov_inside = ov_potential == 0 ? forest::overrides(n, forest::op_calc_inside_min) : 1;
    if (ov_inside < 0) PyErr_Clear();  // the dispatcher raises it again
    if (ov_potential == 0) {
        if (ov_ids != 0) order.invalidate();
        if (Py_IS_TYPE(fc, &FCombo_Type)) order.vectors_from(fc);
        forest::walk_calc_potential(n, weights, fc, done.get(), ov_inside == 0 ? &inside : nullptr, true, &order);
        if (PyErr_Occurred()) return false;
    } else {
        PyObject* call_args[] = {weights, fc, done.get()};
        Ref res(forest::call_node_override(n, forest::op_calc_potential, call_args, 3));
        double ignored;
        if (!res || !to_double(res.get(), &ignored)) return false;
    }
    if (inside.complete) return true;
    done = Ref(new_done_array(*num_nodes));
    double score;
    return done && graph_node_ops.calcInsideMin(n, done.get(), &score);
}

PyObject* decode_forest(PyObject* const* a) {
    if (!check_arg_type(a[0], &GraphNode_Type, "n", false) || !forest::check_fc_arg(a[2], "fc")) return nullptr;
    if (!check_crf_weights(a[1], a[2])) return nullptr;
    Ref root = Ref::borrow(a[0]);
    GraphNodeObject* n = as_node(root.get());
    PyObject* fc = a[2];
    int32_t num_nodes;
    std::unique_ptr<forest::WalkHint> hint = forest::take_hint(n);
    if (!number_and_score(n, a[1], fc, &num_nodes, hint)) return nullptr;
    Ref best(hint ? forest::walk_extract_best(n, fc, hint.get()) : graph_node_ops.extractBest(n, fc));
    hint.reset();
    if (!best) return nullptr;
    // Walk back from the last position: children[0] is the chosen candidate,
    // children[1] the previous transition (the start node has no children).
    Ref result(PyList_New(0));
    if (!result) return nullptr;
    // A chain longer than the forest has nodes can only come from
    // overridden extraction; only then are the copies remembered, to
    // report a chain that loops back on itself.
    std::unordered_set<PyObject*> seen;
    std::vector<Ref> chain;
    const std::size_t watch_after = static_cast<std::size_t>(num_nodes) + 1;
    QV_TRY
    chain.reserve(64);
    for (Ref cur = std::move(best);;) {
        Ref children = Ref::borrow(as_node(cur.get())->children);
        int more = PyObject_IsTrue(children.get());
        if (more < 0) return nullptr;
        if (!more) break;
        if (chain.size() >= watch_after && !seen.insert(cur.get()).second) {
            PyErr_SetString(PyExc_ValueError, "decode_simple_crf: the best derivation loops back on itself");
            return nullptr;
        }
        Ref cand(PySequence_GetItem(children.get(), 0));
        if (!cand || PyList_Append(result.get(), cand.get()) < 0) return nullptr;
        Ref prev(PySequence_GetItem(children.get(), 1));
        if (!prev || !check_node(prev.get())) return nullptr;
        chain.push_back(std::move(cur));
        cur = std::move(prev);
    }
    QV_CATCH(nullptr)
    if (PyList_Reverse(result.get()) < 0) return nullptr;
    return result.release();
}

}  // namespace

bool add_crf_dict(PyObject* module) {
    if (!numpy_handle(Numpy::zeros)) return false;
    Ref base(PyObject_GetAttrString(module, "defaultdict"));
    Ref ns(PyDict_New());
    if (!base || !ns) return false;
    Ref modname(PyUnicode_FromString("quorvex.feature"));
    Ref doc(
        PyUnicode_FromString("crf_dict(): the states of one position of a CRF forest, a defaultdict without a default\n"
                             "factory whose missing keys get a new OR node labelled None (stored and returned)."));
    Ref qualname(PyUnicode_FromString("crf_dict"));
    Ref func(PyCFunction_NewEx(&crf_dict_missing_def, nullptr, modname.get()));
    Ref method(func ? PyInstanceMethod_New(func.get()) : nullptr);
    if (!modname || !doc || !qualname || !method || PyDict_SetItemString(ns.get(), "__module__", modname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
        PyDict_SetItemString(ns.get(), "__missing__", method.get()) < 0)
        return false;
    Ref type(
        PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "crf_dict", base.get(), ns.get()));
    if (!type) return false;
    crf_missing_method = method.get();
    crf_dict_type = type.get();
    Py_INCREF(crf_missing_method);  // both live as long as the process
    Py_INCREF(crf_dict_type);
    return PyModule_AddObject(module, "crf_dict", type.release()) == 0;
}

PyMethodDef make_simple_crf_def = {
    "make_simple_crf", reinterpret_cast<PyCFunction>(make_simple_crf), METH_FASTCALL | METH_KEYWORDS,
    "make_simple_crf(nodes, /)\n--\n\n"
    "-> GraphNode: the linear-chain CRF forest over per-position\n"
    "candidates. nodes holds one iterable of candidate GraphNodes per position (their label is the\n"
    "candidate label, their features the emission features). Returns the stop node."};

PyMethodDef decode_simple_crf_def = {
    "decode_simple_crf", reinterpret_cast<PyCFunction>(decode_simple_crf), METH_FASTCALL | METH_KEYWORDS,
    "decode_simple_crf(n, weights, fc)\n--\n\n"
    "-> list: Viterbi-decodes the forest of make_simple_crf\n"
    "(numbering, local scores with the weight array, inside scores, best derivation) and returns\n"
    "the extracted copy of the chosen candidate of each position, in order. A forest is decoded\n"
    "once: decoding it again raises IndexError."};

}  // namespace qv
