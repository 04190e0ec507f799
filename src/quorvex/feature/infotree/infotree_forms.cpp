// The four written forms of information trees: the JSON structure, the
// pieces of the bracketed tree, the node-and-edge lists and the SUBDUE
// vertex/edge records.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/args.h"
#include "common/errors.h"
#include "feature/infotree/infotree.h"

namespace qv {

namespace {

// Constant pieces, interned once.
struct Pieces {
    PyObject* open = nullptr;   // "("
    PyObject* blank = nullptr;  // " "
    PyObject* close = nullptr;  // ")"
    PyObject* empty = nullptr;  // ""
    PyObject* v = nullptr;      // "v"
    PyObject* e = nullptr;      // "e"
    PyObject* f = nullptr;      // "f"
    PyObject* nodes = nullptr;  // "nodes"
    PyObject* roots = nullptr;  // "roots"
    PyObject* one = nullptr;    // 1
    bool done = false;
    bool ready() {
        if (done) return true;
        const char* texts[] = {"(", " ", ")", "", "v", "e", "f", "nodes", "roots"};
        PyObject** slots[] = {&open, &blank, &close, &empty, &v, &e, &f, &nodes, &roots};
        for (int i = 0; i < 9; ++i) {
            if (!*slots[i]) *slots[i] = PyUnicode_InternFromString(texts[i]);
            if (!*slots[i]) return false;
        }
        if (!one) one = PyLong_FromLong(1);
        done = one != nullptr;
        return done;
    }
};
Pieces P;

// str(obj): obj itself for an exact str.
PyObject* text_of(PyObject* obj) {
    Ref s(PyUnicode_CheckExact(obj) ? Ref::borrow(obj) : Ref(PyObject_Str(obj)));
#if PY_VERSION_HEX < 0x030C0000
    if (s && PyUnicode_READY(s.get()) < 0) return nullptr;
#endif
    return s.release();
}

// One new str made of the given (ready) str objects. Latin-1 text, the
// common case, is copied byte for byte.
PyObject* concat(PyObject* const* parts, std::size_t n) {
    Py_ssize_t len = 0;
    Py_UCS4 maxchar = 127;
    for (std::size_t i = 0; i < n; ++i) {
        len += PyUnicode_GET_LENGTH(parts[i]);
        Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(parts[i]);
        if (m > maxchar) maxchar = m;
    }
    Ref out(PyUnicode_New(len, maxchar));
    if (!out) return nullptr;
    if (maxchar < 256) {
        Py_UCS1* d = PyUnicode_1BYTE_DATA(out.get());
        for (std::size_t i = 0; i < n; ++i) {
            Py_ssize_t k = PyUnicode_GET_LENGTH(parts[i]);
            std::memcpy(d, PyUnicode_DATA(parts[i]), static_cast<std::size_t>(k));
            d += k;
        }
        return out.release();
    }
    Py_ssize_t pos = 0;
    for (std::size_t i = 0; i < n; ++i) {
        Py_ssize_t k = PyUnicode_GET_LENGTH(parts[i]);
        if (k && PyUnicode_CopyCharacters(out.get(), pos, parts[i], 0, k) < 0) return nullptr;
        pos += k;
    }
    return out.release();
}

// Buffers reused from call to call (one spare per kind; nested walks get
// their own).
template <class T>
class Scratch {
public:
    Scratch() : p_(spare_ ? spare_ : new T()) { spare_ = nullptr; }
    ~Scratch() {
        p_->clear();
        if (!spare_)
            spare_ = p_;
        else
            delete p_;
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    T* operator->() { return p_; }
    T& operator*() { return *p_; }

private:
    T* p_;
    static T* spare_;
};
template <class T>
T* Scratch<T>::spare_ = nullptr;

// Copies k bytes; short strings (labels and words) without a call, as two
// overlapping loads and stores of a fixed width.
inline Py_UCS1* put_bytes(Py_UCS1* d, const Py_UCS1* s, std::size_t k) {
    if (k >= 8) {
        if (k > 16) {
            std::memcpy(d, s, k);
            return d + k;
        }
        std::uint64_t head, tail;
        std::memcpy(&head, s, 8);
        std::memcpy(&tail, s + k - 8, 8);
        std::memcpy(d, &head, 8);
        std::memcpy(d + k - 8, &tail, 8);
    } else if (k >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, s, 4);
        std::memcpy(&tail, s + k - 4, 4);
        std::memcpy(d, &head, 4);
        std::memcpy(d + k - 4, &tail, 4);
    } else if (k >= 2) {
        std::uint16_t head, tail;
        std::memcpy(&head, s, 2);
        std::memcpy(&tail, s + k - 2, 2);
        std::memcpy(d, &head, 2);
        std::memcpy(d + k - 2, &tail, 2);
    } else if (k == 1) {
        *d = *s;
    }
    return d + k;
}

// An exact, ready str stored one byte per character (Latin-1 text).
// The type is checked first: the other tests read str fields.
inline bool latin1_str(PyObject* s) {
    if (!PyUnicode_CheckExact(s)) return false;
#if PY_VERSION_HEX < 0x030C0000
    if (!PyUnicode_IS_READY(s)) return false;
#endif
    return PyUnicode_KIND(s) == PyUnicode_1BYTE_KIND;
}

// "(%s " % tp, or "(%s" % tp when the node has neither features nor edges.
PyObject* new_opening_piece(const Py_UCS1* label, Py_ssize_t len, bool ascii, bool blank) {
    PyObject* out = PyUnicode_New(len + 1 + blank, ascii ? 127 : 255);
    if (!out) return nullptr;
    Py_UCS1* d = PyUnicode_1BYTE_DATA(out);
    d[0] = '(';
    d = put_bytes(d + 1, label, static_cast<std::size_t>(len));
    if (blank) *d = ' ';
    return out;
}

// Opening pieces of short Latin-1 labels, shared between nodes: the labels
// of syntactic trees come from a small set, and a shared (immutable) piece
// saves an allocation per node. Direct-mapped on the label's bytes.
class LabelPieces {
public:
    // A new reference to the piece of label, or nullptr with an error.
    PyObject* get(const Py_UCS1* label, Py_ssize_t len, bool ascii, bool blank) {
        if (len > kMaxLen) return new_opening_piece(label, len, ascii, blank);
        Slot* slot;
        std::uint64_t word = 0;
        if (len <= 8) {
            // Labels of up to eight bytes (the usual tags) are one word.
            word = short_word(label, static_cast<std::size_t>(len));
            static_assert(kSlots == 256, "the top eight bits of the product pick the slot");
            slot = &slots_[(word * 0x9E3779B97F4A7C15ull) >> 56];
            if (slot->len != len || slot->word != word) fill(*slot, label, len, word);
        } else {
            std::uint32_t h = 2166136261u;
            for (Py_ssize_t i = 0; i < len; ++i) h = (h ^ label[i]) * 16777619u;
            slot = &slots_[(h ^ (h >> 15)) % kSlots];
            if (slot->len != len || std::memcmp(slot->text, label, static_cast<std::size_t>(len)) != 0)
                fill(*slot, label, len, word);
        }
        PyObject*& piece = slot->piece[blank];
        if (!piece) {
            piece = new_opening_piece(label, len, ascii, blank);
            if (!piece) return nullptr;
        }
        Py_INCREF(piece);
        return piece;
    }

private:
    static const Py_ssize_t kMaxLen = 22;
    static const std::uint32_t kSlots = 256;
    struct Slot {
        int len = -1;
        std::uint64_t word = 0;  // the label's bytes when it is at most 8 long
        Py_UCS1 text[kMaxLen];
        PyObject* piece[2] = {nullptr, nullptr};  // without and with the blank
    };
    Slot slots_[kSlots];

    // The k <= 8 bytes at s as a little-endian word padded with zeros, read
    // as two overlapping loads.
    static std::uint64_t short_word(const Py_UCS1* s, std::size_t k) {
        if (k >= 4) {
            std::uint32_t head, tail;
            std::memcpy(&head, s, 4);
            std::memcpy(&tail, s + k - 4, 4);
            return head | (static_cast<std::uint64_t>(tail) << (8 * (k - 4)));
        }
        if (k >= 2) {
            std::uint16_t head, tail;
            std::memcpy(&head, s, 2);
            std::memcpy(&tail, s + k - 2, 2);
            return head | (static_cast<std::uint64_t>(tail) << (8 * (k - 2)));
        }
        return k ? s[0] : 0;
    }
    // Gives the slot to another label (its pieces are made when asked for).
    static void fill(Slot& slot, const Py_UCS1* label, Py_ssize_t len, std::uint64_t word) {
        Py_CLEAR(slot.piece[0]);
        Py_CLEAR(slot.piece[1]);
        slot.len = static_cast<int>(len);
        slot.word = word;
        std::memcpy(slot.text, label, static_cast<std::size_t>(len));
    }
};
LabelPieces label_pieces;

// "(%s " % tp, or "(%s" % tp when the node has neither features nor edges.
PyObject* opening_piece(PyObject* tp, bool blank) {
    if (latin1_str(tp))
        return label_pieces.get(PyUnicode_1BYTE_DATA(tp), PyUnicode_GET_LENGTH(tp), PyUnicode_IS_ASCII(tp), blank);
    Ref label(text_of(tp));
    if (!label) return nullptr;
    PyObject* parts[] = {P.open, label.get(), P.blank};
    return concat(parts, blank ? 3 : 2);
}

struct PieceBuffers {
    std::vector<Ref> texts;
    std::vector<PyObject*> parts;
    void clear() {
        texts.clear();
        parts.clear();
    }
};

// The feature piece of a list or tuple of Latin-1 strs, written byte by
// byte; nullptr without an error when the features are of another kind.
PyObject* latin1_feature_piece(PyObject* features) {
    if (!PyList_CheckExact(features) && !PyTuple_CheckExact(features)) return nullptr;
    Py_ssize_t n = PySequence_Fast_GET_SIZE(features);
    PyObject** items = PySequence_Fast_ITEMS(features);
    Py_ssize_t len = 0;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (!latin1_str(items[i])) return nullptr;
        len += 2 * PyUnicode_GET_LENGTH(items[i]) + 3;
        ascii = ascii && PyUnicode_IS_ASCII(items[i]);
    }
    PyObject* out = PyUnicode_New(len, ascii ? 127 : 255);
    if (!out) return nullptr;
    // No Python code has run since the items were checked.
    Py_UCS1* d = PyUnicode_1BYTE_DATA(out);
    for (Py_ssize_t i = 0; i < n; ++i) {
        const Py_UCS1* f = PyUnicode_1BYTE_DATA(items[i]);
        std::size_t k = static_cast<std::size_t>(PyUnicode_GET_LENGTH(items[i]));
        *d++ = '(';
        d = put_bytes(d, f, k);
        *d++ = ' ';
        d = put_bytes(d, f, k);
        *d++ = ')';
    }
    return out;
}

// The concatenation of "(%s %s)" % (f, f) over the features.
PyObject* feature_piece(PyObject* features, PieceBuffers& buf) {
    if (PyList_CheckExact(features) && PyList_GET_SIZE(features) == 0) {
        Py_INCREF(P.empty);
        return P.empty;
    }
    if (PyObject* piece = latin1_feature_piece(features)) return piece;
    if (PyErr_Occurred()) return nullptr;
    ItemCursor cursor;
    if (!cursor.start(features)) return nullptr;
    buf.clear();
    for (;;) {
        Ref f;
        int r = cursor.next(&f);
        if (r < 0) return nullptr;
        if (r == 0) break;
        buf.texts.emplace_back(text_of(f.get()));
        if (!buf.texts.back()) return nullptr;
    }
    if (buf.texts.empty()) {
        Py_INCREF(P.empty);
        return P.empty;
    }
    for (const Ref& t : buf.texts) {
        buf.parts.push_back(P.open);
        buf.parts.push_back(t.get());
        buf.parts.push_back(P.blank);
        buf.parts.push_back(t.get());
        buf.parts.push_back(P.close);
    }
    PyObject* piece = concat(buf.parts.data(), buf.parts.size());
    buf.clear();
    return piece;
}

// --- as_tree ------------------------------------------------------------------------

// The stack of the bracketed-tree walk. A frame owns a reference to its
// node and to what it walks: the node's edge list when that is an exact
// list (read by index), else an iterator over it.
struct TreeWalk {
    struct Frame {
        PyObject* node;
        PyObject* edges;
        Py_ssize_t pos;  // -1: `edges` is an iterator
    };
    std::vector<Frame> stack;
    std::unordered_set<PyObject*> deep;  // nodes of the path below depth kScan
    PieceBuffers pieces;
    static const std::size_t kScan = 32;

    ~TreeWalk() { clear(); }
    void clear() {
        while (!stack.empty()) pop();
        deep.clear();
        pieces.clear();
    }
    // Whether o is on the current path (its own subtree is being written).
    bool on_path(PyObject* o) const {
        std::size_t n = stack.size() < kScan ? stack.size() : kScan;
        for (std::size_t i = 0; i < n; ++i)
            if (stack[i].node == o) return true;
        return stack.size() > kScan && deep.count(o) != 0;
    }
    // Takes over the two references.
    void push(PyObject* node, PyObject* edges, Py_ssize_t pos) {
        try {
            if (stack.size() >= kScan) deep.insert(node);
            stack.push_back(Frame{node, edges, pos});
        } catch (...) {
            if (stack.size() >= kScan) deep.erase(node);
            Py_DECREF(node);
            Py_DECREF(edges);
            throw;
        }
    }
    void pop() {
        Frame f = stack.back();
        if (stack.size() > kScan) deep.erase(f.node);
        stack.pop_back();
        Py_DECREF(f.edges);
        Py_DECREF(f.node);
    }
};

// Truth value, without a call for the exact lists nodes normally hold.
inline int truth(PyObject* o) {
    if (PyList_CheckExact(o)) return PyList_GET_SIZE(o) != 0;
    return PyObject_IsTrue(o);
}

// The pieces of the common node: a Latin-1 str label, an exact list of
// Latin-1 str features and an exact list of edges, written to an exact
// list (not one of the node's own). Nothing here runs Python code, so the
// node's fields are read without holding them. 1 when the node was entered
// (its frame pushed), 0 when it is not of this kind (nothing done), -1 on
// error.
int enter_plain(TreeWalk& w, PyObject* node, PyObject* parts_out) {
    InfoNodeObject* n = as_inode(node);
    PyObject* tp = n->tp;
    PyObject* feats = n->features;
    PyObject* edges = n->edges_out;
    if (!PyList_CheckExact(feats) || !PyList_CheckExact(edges) || !latin1_str(tp) || parts_out == feats ||
        parts_out == edges)
        return 0;
    Py_ssize_t nf = PyList_GET_SIZE(feats);
    PyObject** items = reinterpret_cast<PyListObject*>(feats)->ob_item;
    Py_ssize_t len = 0;
    bool ascii = true;
    for (Py_ssize_t i = 0; i < nf; ++i) {
        if (!latin1_str(items[i])) return 0;
        len += PyUnicode_GET_LENGTH(items[i]);
        ascii = ascii && PyUnicode_IS_ASCII(items[i]);
    }
    if (w.on_path(node)) {
        raise_cycle("as_tree");
        return -1;
    }
    bool blank = nf != 0 || PyList_GET_SIZE(edges) != 0;
    Ref open(label_pieces.get(PyUnicode_1BYTE_DATA(tp), PyUnicode_GET_LENGTH(tp), PyUnicode_IS_ASCII(tp), blank));
    if (!open || !append_to(parts_out, open.get())) return -1;
    Ref fp;
    if (nf == 0) {
        fp = Ref::borrow(P.empty);
    } else {
        // "(f f)" per feature.
        fp = Ref(PyUnicode_New(2 * len + 3 * nf, ascii ? 127 : 255));
        if (!fp) return -1;
        Py_UCS1* d = PyUnicode_1BYTE_DATA(fp.get());
        for (Py_ssize_t i = 0; i < nf; ++i) {
            const Py_UCS1* f = PyUnicode_1BYTE_DATA(items[i]);
            std::size_t k = static_cast<std::size_t>(PyUnicode_GET_LENGTH(items[i]));
            *d++ = '(';
            d = put_bytes(d, f, k);
            *d++ = ' ';
            d = put_bytes(d, f, k);
            *d++ = ')';
        }
    }
    if (!append_to(parts_out, fp.get())) return -1;
    Py_INCREF(node);
    Py_INCREF(edges);
    w.push(node, edges, 0);
    return 1;
}

// Writes the node's opening and feature pieces and pushes its frame; any
// kind of fields and of parts_out (whose append may run Python code).
bool enter_any(TreeWalk& w, PyObject* node, PyObject* parts_out) {
    if (w.on_path(node)) return raise_cycle("as_tree");
    InfoNodeObject* n = as_inode(node);
    Ref hold = Ref::borrow(node);
    Ref tp = Ref::borrow(n->tp), feats = Ref::borrow(n->features), edges = Ref::borrow(n->edges_out);
    int blank = truth(feats.get());
    if (blank == 0) blank = truth(edges.get());
    if (blank < 0) return false;
    Ref open(opening_piece(tp.get(), blank != 0));
    if (!open || !append_to(parts_out, open.get())) return false;
    Ref fp(feature_piece(feats.get(), w.pieces));
    if (!fp || !append_to(parts_out, fp.get())) return false;
    if (PyList_CheckExact(edges.get())) {
        w.push(hold.release(), edges.release(), 0);
        return true;
    }
    PyObject* it = PyObject_GetIter(edges.get());
    if (!it) return false;
    w.push(hold.release(), it, -1);
    return true;
}

inline bool enter(TreeWalk& w, PyObject* node, PyObject* parts_out, bool plain_out) {
    if (plain_out) {
        int r = enter_plain(w, node, parts_out);
        if (r) return r > 0;
    }
    return enter_any(w, node, parts_out);
}

// Walks into the child `target` of an edge (held by the caller): an
// InfoNode that its type does not override is entered, anything else is
// asked through its own as_tree method.
bool walk_child(TreeWalk& w, PyObject* target, PyObject* parts_out, bool plain_out) {
    int native = native_node(target, op_as_tree);
    if (native < 0) return false;
    if (native) return enter(w, target, parts_out, plain_out);
    if (Py_EnterRecursiveCall(" in InfoNode.as_tree")) return false;
    Ref done(call_override(target, op_as_tree, &parts_out, 1));
    Py_LeaveRecursiveCall();
    return static_cast<bool>(done);
}

// The bracketed pieces below root, depth first with an explicit stack.
// Children that are not plain InfoNodes are asked through their own
// as_tree method.
bool as_tree_walk(PyObject* root, PyObject* parts_out) {
    QV_TRY
    Scratch<TreeWalk> scratch;
    TreeWalk& w = *scratch;
    // An exact list runs no Python code when appended to.
    const bool plain_out = PyList_CheckExact(parts_out);
    if (!enter(w, root, parts_out, plain_out)) return false;
    while (!w.stack.empty()) {
        TreeWalk::Frame& f = w.stack.back();
        if (f.pos >= 0) {
            if (f.pos >= PyList_GET_SIZE(f.edges)) {
                if (!append_to(parts_out, P.close)) return false;
                w.pop();
                continue;
            }
            PyObject* edge = PyList_GET_ITEM(f.edges, f.pos++);
            if (PyTuple_CheckExact(edge) && PyTuple_GET_SIZE(edge) == 2 &&
                Py_TYPE(PyTuple_GET_ITEM(edge, 0)) == &InfoNode_Type) {
                // The common edge: nothing runs Python code before the
                // child's frame holds the child.
                if (!enter(w, PyTuple_GET_ITEM(edge, 0), parts_out, plain_out)) return false;
                continue;
            }
            Ref hold = Ref::borrow(edge);
            Ref pair[2];
            if (!unpack_edge(edge, pair)) return false;
            if (!walk_child(w, pair[0].get(), parts_out, plain_out)) return false;
            continue;
        }
        Ref edge(PyIter_Next(f.edges));
        if (!edge) {
            if (PyErr_Occurred()) return false;
            if (!append_to(parts_out, P.close)) return false;
            w.pop();
            continue;
        }
        Ref pair[2];
        if (!unpack_edge(edge.get(), pair)) return false;
        if (!walk_child(w, pair[0].get(), parts_out, plain_out)) return false;
    }
    return true;
    QV_CATCH(false)
}

// --- as_nodes --------------------------------------------------------------------------

// a + k for a Python number a.
PyObject* plus(PyObject* a, Py_ssize_t k) {
    if (PyLong_CheckExact(a)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(a, &overflow);
        if (!overflow && !(v == -1 && PyErr_Occurred()) && v < (1LL << 62) && v > -(1LL << 62) && k < (1LL << 60))
            return PyLong_FromLongLong(v + k);
        PyErr_Clear();
    }
    Ref kk(PyLong_FromSsize_t(k));
    return kk ? PyNumber_Add(a, kk.get()) : nullptr;
}

// as_nodes with an explicit stack. `cur` is the next free number as it
// flows through the walk: taken by each unnumbered node on entry, then
// past each child, then past the node's own feature block.
class AsNodesWalk {
public:
    AsNodesWalk(PyObject* offset, PyObject* node_list, PyObject* edge_list)
        : cur_(Ref::borrow(offset)), node_list_(node_list), edge_list_(edge_list) {}

    // The next free number after the walk from root (new reference).
    PyObject* run(PyObject* root) {
        QV_TRY
        if (!enter(root)) return nullptr;
        while (!stack_.empty()) {
            if (stack_.back().target && !finish_edge(stack_.back())) return nullptr;
            Ref edge;
            int r = stack_.back().edges.next(&edge);
            if (r < 0) return nullptr;
            if (r == 0) {
                if (!feature_block(stack_.back())) return nullptr;
                path_.pop();
                stack_.pop_back();
                continue;
            }
            if (!follow_edge(edge.get())) return nullptr;
        }
        return cur_.release();
        QV_CATCH(nullptr)
    }

private:
    struct Frame {
        Ref node;
        ItemCursor edges;
        Ref target, label;  // the edge whose child is being walked
    };

    // Numbers the node if it has no number yet, records it and pushes its
    // frame. Throws std::bad_alloc.
    bool enter(PyObject* node) {
        if (path_.contains(node)) return raise_cycle("as_nodes");
        InfoNodeObject* n = as_inode(node);
        Ref hold = Ref::borrow(node);
        if (n->nodeId == -1) {
            int32_t id;
            if (!to_int32(cur_.get(), &id)) return false;
            Ref next(plus(cur_.get(), 1));
            if (!next) return false;
            n->nodeId = id;
            cur_ = std::move(next);
        }
        Ref id(PyLong_FromLong(n->nodeId));
        Ref rec(id ? PyTuple_Pack(2, id.get(), n->tp) : nullptr);
        if (!rec || !append_to(node_list_, rec.get())) return false;
        Ref edges = Ref::borrow(n->edges_out);
        stack_.emplace_back();
        stack_.back().node = std::move(hold);
        path_.push(node);
        return stack_.back().edges.start(edges.get());
    }

    // The edge (node, target, label) once the target's subtree is done.
    bool finish_edge(Frame& fr) {
        Ref from(PyLong_FromLong(as_inode(fr.node.get())->nodeId));
        Ref to(from ? node_id_of(fr.target.get()) : nullptr);
        Ref rec(to ? PyTuple_Pack(3, from.get(), to.get(), fr.label.get()) : nullptr);
        fr.target.reset();
        fr.label.reset();
        return rec && append_to(edge_list_, rec.get());
    }

    // The feature nodes of a node whose edges are done.
    bool feature_block(Frame& fr) {
        InfoNodeObject* n = as_inode(fr.node.get());
        Ref feats = Ref::borrow(n->features);
        ItemCursor cursor;
        if (!cursor.start(feats.get())) return false;
        Py_ssize_t i = 0;
        for (;; ++i) {
            Ref f;
            int r = cursor.next(&f);
            if (r < 0) return false;
            if (r == 0) break;
            Ref num(plus(cur_.get(), i));
            Ref from(num ? PyLong_FromLong(n->nodeId) : nullptr);
            Ref vrec(from ? PyTuple_Pack(2, num.get(), f.get()) : nullptr);
            if (!vrec || !append_to(node_list_, vrec.get())) return false;
            Ref erec(PyTuple_Pack(3, from.get(), num.get(), P.f));
            if (!erec || !append_to(edge_list_, erec.get())) return false;
        }
        Ref next(plus(cur_.get(), i));
        if (!next) return false;
        cur_ = std::move(next);
        return true;
    }

    // The child of the top frame's next edge: entered when it is handled
    // natively, else numbered by its override. Throws std::bad_alloc.
    bool follow_edge(PyObject* edge) {
        Ref pair[2];
        if (!unpack_edge(edge, pair)) return false;
        PyObject* target = pair[0].get();
        stack_.back().target = Ref::borrow(target);
        stack_.back().label = std::move(pair[1]);
        int native = native_node(target, op_as_nodes);
        if (native < 0) return false;
        if (native) return enter(target);
        if (Py_EnterRecursiveCall(" in InfoNode.as_nodes")) return false;
        PyObject* argv[] = {cur_.get(), node_list_, edge_list_};
        Ref next(call_override(target, op_as_nodes, argv, 3));
        Py_LeaveRecursiveCall();
        if (!next) return false;
        cur_ = std::move(next);
        return true;
    }

    std::vector<Frame> stack_;
    PathSet path_;
    Ref cur_;
    PyObject* node_list_;
    PyObject* edge_list_;
};

PyObject* as_nodes_walk(PyObject* root, PyObject* offset, PyObject* node_list, PyObject* edge_list) {
    return AsNodesWalk(offset, node_list, edge_list).run(root);
}

// --- as_subdue --------------------------------------------------------------------------

// What as_subdue reads of one node: exact InfoNodes by field, anything else
// by attribute. Features and edges are taken as tuples once, so that
// their two walks see the same items.
struct NodeRecord {
    Ref id, tp, features, edges;
    bool load(PyObject* node) {
        if (Py_TYPE(node) == &InfoNode_Type) {
            InfoNodeObject* n = as_inode(node);
            id = Ref(PyLong_FromLong(n->nodeId));
            tp = Ref::borrow(n->tp);
            features = Ref::borrow(n->features);
            edges = Ref::borrow(n->edges_out);
            if (!id) return false;
        } else {
            id = Ref(PyObject_GetAttrString(node, "nodeId"));
            if (!id) return false;
            tp = Ref(PyObject_GetAttrString(node, "tp"));
            if (!tp) return false;
            features = Ref(PyObject_GetAttrString(node, "features"));
            if (!features) return false;
            edges = Ref(PyObject_GetAttrString(node, "edges_out"));
            if (!edges) return false;
        }
        // Private copies: Python code that runs during the walk (attribute
        // getters, number protocols) cannot change what is being read.
        features = Ref(PySequence_Tuple(features.get()));
        if (!features) return false;
        edges = Ref(PySequence_Tuple(edges.get()));
        return static_cast<bool>(edges);
    }
};

bool append_new(PyObject* lst, PyObject* rec) {
    Ref r(rec);
    return r && PyList_Append(lst, r.get()) == 0;
}

}  // namespace

bool ready_tree_forms() { return P.ready(); }

PyObject* node_as_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"parts_out", nullptr};
    static const ArgSpec spec{"as_tree", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!P.ready() || !as_tree_walk(self, a[0])) return nullptr;
    Py_RETURN_NONE;
}

PyObject* node_as_nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"offset", "node_list", "edge_list", nullptr};
    static const ArgSpec spec{"as_nodes", names, 0, 3};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!P.ready()) return nullptr;
    return as_nodes_walk(self, a[0], a[1], a[2]);
}

bool tree_pieces(PyObject* tree, PyObject* parts_out) {
    if (!P.ready()) return false;
    if (Py_TYPE(tree) != &InfoTree_Type) {
        Ref r(PyObject_CallMethod(tree, "as_tree", "O", parts_out));
        return static_cast<bool>(r);
    }
    Ref roots = Ref::borrow(as_itree(tree)->roots);
    Ref root(PySequence_GetItem(roots.get(), 0));
    if (!root) return false;
    int native = native_node(root.get(), op_as_tree);
    if (native < 0) return false;
    if (native) return as_tree_walk(root.get(), parts_out);
    PyObject* argv[] = {parts_out};
    Ref r(call_override(root.get(), op_as_tree, argv, 1));
    return static_cast<bool>(r);
}

PyObject* tree_as_tree(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"parts_out", nullptr};
    static const ArgSpec spec{"as_tree", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    // The tree's own method, whatever its type: the first root's pieces.
    if (!P.ready()) return nullptr;
    Ref roots = Ref::borrow(as_itree(self)->roots);
    Ref root(PySequence_GetItem(roots.get(), 0));
    if (!root) return nullptr;
    int native = native_node(root.get(), op_as_tree);
    if (native < 0) return nullptr;
    if (native) {
        if (!as_tree_walk(root.get(), a[0])) return nullptr;
        Py_RETURN_NONE;
    }
    Ref done(call_override(root.get(), op_as_tree, a, 1));
    if (!done) return nullptr;
    Py_RETURN_NONE;  // whatever the root's own as_tree returned
}

PyObject* tree_as_json(PyObject* self, PyObject*) {
    if (!P.ready()) return nullptr;
    Ref roots_in = Ref::borrow(as_itree(self)->roots);
    Ref nodes_in = Ref::borrow(as_itree(self)->nodes);
    Ref roots(PyList_New(0));
    Ref nodes(PyList_New(0));
    ItemCursor rc, nc;
    if (!roots || !nodes || !rc.start(roots_in.get())) return nullptr;
    for (;;) {
        Ref r;
        int got = rc.next(&r);
        if (got < 0) return nullptr;
        if (got == 0) break;
        if (!check_convert(r.get(), &InfoNode_Type, false)) return nullptr;
        if (!append_new(roots.get(), PyLong_FromLong(as_inode(r.get())->nodeId))) return nullptr;
    }
    if (!nc.start(nodes_in.get())) return nullptr;
    for (;;) {
        Ref n;
        int got = nc.next(&n);
        if (got < 0) return nullptr;
        if (got == 0) break;
        if (!check_convert(n.get(), &InfoNode_Type, false)) return nullptr;
        InfoNodeObject* node = as_inode(n.get());
        Ref edges_in = Ref::borrow(node->edges_out);
        Ref edges(PyList_New(0));
        ItemCursor ec;
        if (!edges || !ec.start(edges_in.get())) return nullptr;
        for (;;) {
            Ref e;
            int ge = ec.next(&e);
            if (ge < 0) return nullptr;
            if (ge == 0) break;
            Ref pair[2];
            if (!unpack_edge(e.get(), pair)) return nullptr;
            Ref id(node_id_of(pair[0].get()));
            if (!id || !append_new(edges.get(), PyTuple_Pack(2, id.get(), pair[1].get()))) return nullptr;
        }
        if (!append_new(nodes.get(), PyTuple_Pack(3, node->tp, node->features, edges.get()))) return nullptr;
    }
    Ref out(PyDict_New());
    if (!out || PyDict_SetItem(out.get(), P.nodes, nodes.get()) < 0 ||
        PyDict_SetItem(out.get(), P.roots, roots.get()) < 0)
        return nullptr;
    return out.release();
}

PyObject* tree_json_of(PyObject* t) {
    if (Py_TYPE(t) == &InfoTree_Type) return tree_as_json(t, nullptr);
    return PyObject_CallMethod(t, "as_json", nullptr);
}

PyObject* tree_as_subdue(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"start_offset", nullptr};
    static const ArgSpec spec{"as_subdue", names, 0, 0};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!P.ready()) return nullptr;
    PyObject* so = a[0] ? a[0] : P.one;
    Ref nodes(PySequence_List(as_itree(self)->nodes));
    if (!nodes) return nullptr;
    std::vector<NodeRecord> recs;
    Ref out(PyList_New(0));
    if (!out) return nullptr;
    QV_TRY
    Py_ssize_t count = PyList_GET_SIZE(nodes.get());
    recs.resize(static_cast<std::size_t>(count));
    // Vertices of the nodes.
    for (Py_ssize_t i = 0; i < count; ++i) {
        NodeRecord& r = recs[static_cast<std::size_t>(i)];
        if (!r.load(PyList_GET_ITEM(nodes.get(), i))) return nullptr;
        Ref num(PyNumber_Add(r.id.get(), so));
        if (!num || !append_new(out.get(), PyTuple_Pack(3, P.v, num.get(), r.tp.get()))) return nullptr;
    }
    // Vertices of the features, numbered after all nodes.
    Py_ssize_t k = count;
    for (const NodeRecord& r : recs) {
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(r.features.get()); ++j, ++k) {
            Ref kk(PyLong_FromSsize_t(k));
            Ref num(kk ? PyNumber_Add(kk.get(), so) : nullptr);
            if (!num || !append_new(out.get(), PyTuple_Pack(3, P.v, num.get(), PyTuple_GET_ITEM(r.features.get(), j))))
                return nullptr;
        }
    }
    // Edges between nodes.
    for (const NodeRecord& r : recs) {
        Ref from(PyNumber_Add(r.id.get(), so));
        if (!from) return nullptr;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(r.edges.get()); ++j) {
            Ref edge = Ref::borrow(PyTuple_GET_ITEM(r.edges.get(), j));
            Ref pair[2];
            if (!unpack_edge(edge.get(), pair)) return nullptr;
            Ref tid(node_id_of(pair[0].get()));
            Ref to(tid ? PyNumber_Add(tid.get(), so) : nullptr);
            if (!to || !append_new(out.get(), PyTuple_Pack(4, P.e, from.get(), to.get(), pair[1].get())))
                return nullptr;
        }
    }
    // Edges from each node to its feature vertices.
    k = count;
    for (const NodeRecord& r : recs) {
        Ref from(PyNumber_Add(r.id.get(), so));
        if (!from) return nullptr;
        for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(r.features.get()); ++j, ++k) {
            Ref kk(PyLong_FromSsize_t(k));
            Ref to(kk ? PyNumber_Add(kk.get(), so) : nullptr);
            if (!to || !append_new(out.get(), PyTuple_Pack(4, P.e, from.get(), to.get(), P.f))) return nullptr;
        }
    }
    Ref kk(PyLong_FromSsize_t(k));
    Ref next(kk ? PyNumber_Add(so, kk.get()) : nullptr);
    if (!next) return nullptr;
    return PyTuple_Pack(2, out.get(), next.get());
    QV_CATCH(nullptr)
}

}  // namespace qv
