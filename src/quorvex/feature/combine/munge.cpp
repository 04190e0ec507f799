// Two-stage feature combination ("munging") for FCombo.
//
// Stage one, munge_uni, maps the plain features of each part onto the
// auxiliary dictionary dict_aux, without combination. The caller may then
// select entries with masks over that vocabulary. Stage two, munge_vec and
// munge_vec_2, enumerates the conjunctions of up to n surviving entries of
// a list of such vectors and maps them into the main dictionary `dict`:
//
//   mkmunge1(n, posL, posF): conjunctions whose first element is an entry
//       of vector posL at or after entry posF;
//   mkmunge(n, posL, posF):  mkmunge1(n, posL, posF), then
//       mkmunge1(n, L, 0) for every later vector L.
//
// Together they visit, depth-first, every choice of up to max(n, 1)
// unmasked entries in increasing position of the concatenated vectors; a
// key joins the label (if any) and the entries' words with "^" in that
// order and weighs the product of their values.
#include <memory>
#include <string>
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "common/interned.h"
#include "common/text_args.h"
#include "feature/combine/fcombo.h"
#include "feature/lists/multipart.h"

namespace qv {

namespace {

// seq[i] for a list or tuple, else through Python indexing (new reference).
PyObject* item_at(PyObject* seq, Py_ssize_t i) {
    if (PyList_CheckExact(seq) || PyTuple_CheckExact(seq)) {
        if (i >= 0 && i < PySequence_Fast_GET_SIZE(seq)) {
            PyObject* item = PySequence_Fast_GET_ITEM(seq, i);
            Py_INCREF(item);
            return item;
        }
        PyErr_Format(PyExc_IndexError, "%s index out of range", PyList_CheckExact(seq) ? "list" : "tuple");
        return nullptr;
    }
    Ref key(PyLong_FromSsize_t(i));
    return key ? PyObject_GetItem(seq, key.get()) : nullptr;
}

bool write_stderr(PyObject* text) {
    PyObject* err = PySys_GetObject("stderr");  // borrowed
    if (!err || err == Py_None) return true;
    Ref hold = Ref::borrow(err);
    return PyFile_WriteObject(text, err, Py_PRINT_RAW) == 0;
}

// --- where the keys go -----------------------------------------------------------

// The partial key: pushed words (dict_aux ids) on top of the label, one
// lookup per complete key.
class KeySink {
public:
    virtual ~KeySink() = default;
    virtual bool push(int32_t aux_id) = 0;
    virtual bool pop() = 0;
    virtual bool emit(double w) = 0;
};

// Keys built as bytes and probed in the table of a StringAlphabet `dict`
// whose encoding equals dict_aux's (the stored word bytes then are the
// bytes of the key text).
class NativeSink : public KeySink {
public:
    NativeSink(PyObject* dict, PyObject* aux, SparseAccum<double>& acc, std::string prefix, Py_ssize_t items)
        : dict_(Ref::borrow(dict)), aux_(Ref::borrow(aux)), acc_(acc), key_(std::move(prefix)), items_(items) {}

    bool push(int32_t aux_id) override {
        const CPPAlphabet& aux = as_alph(aux_.get())->map;
        QV_TRY
        marks_.push_back(key_.size());
        if (items_ > 0) key_.push_back('^');
        key_.append(aux.word(aux_id), aux.word_len(aux_id));
        QV_CATCH(false)
        ++items_;
        return true;
    }
    bool pop() override {
        key_.resize(marks_.back());
        marks_.pop_back();
        --items_;
        return true;
    }
    bool emit(double w) override {
        CPPAlphabet& map = as_alph(dict_.get())->map;
        QV_TRY
        int32_t id = map.lookup(key_.data(), key_.size());
        if (id >= 0) acc_.add(static_cast<coordinate_t>(id), w);
        QV_CATCH(false)
        return true;  // absent from a frozen dictionary: skipped
    }

private:
    Ref dict_, aux_;
    SparseAccum<double>& acc_;
    std::string key_;
    std::vector<std::size_t> marks_;
    Py_ssize_t items_;
};

// Keys built as Python text in the caller's `partial` list and looked up
// by subscript: for dictionaries that override the lookup, labels that
// are not text, or dictionaries of different encodings.
class PythonSink : public KeySink {
public:
    PythonSink(PyObject* dict, PyObject* aux, PyObject* partial, SparseAccum<double>& acc)
        : dict_(Ref::borrow(dict)), aux_(Ref::borrow(aux)), partial_(Ref::borrow(partial)), acc_(acc) {}

    bool push(int32_t aux_id) override {
        StringAlphabetObject* aux = as_alph(aux_.get());
        Ref word(alphabet_decode(aux->use_utf8, aux->map.word(aux_id), aux->map.word_len(aux_id)));
        return word && PyList_Append(partial_.get(), word.get()) == 0;
    }
    bool pop() override {
        Py_ssize_t len = PyList_GET_SIZE(partial_.get());
        return PyList_SetSlice(partial_.get(), len - 1, len, nullptr) == 0;
    }
    bool emit(double w) override {
        static Interned caret("^");
        PyObject* sep = caret.get();
        if (!sep) return false;
        Ref key(PyUnicode_Join(sep, partial_.get()));
        return key && lookup_and_add(dict_.get(), key.get(), w, acc_);
    }

private:
    Ref dict_, aux_, partial_;
    SparseAccum<double>& acc_;
};

// --- the enumeration ----------------------------------------------------------------

class MungeWalk {
public:
    MungeWalk(PyObject* flist, PyObject* masks, PyObject* aux) : flist_(flist), masks_(masks), aux_(aux) {}

    // Fetches vector posL and its mask (IndexError, TypeError).
    bool prepare(int posL) { return slot(posL) != nullptr; }
    void set_sink(KeySink* sink) { sink_ = sink; }

    bool mkmunge1(int n, int posL, int posF, double w) {
        if (Py_EnterRecursiveCall(" in FCombo munging")) return false;
        bool ok = mkmunge1_body(n, posL, posF, w);
        Py_LeaveRecursiveCall();
        return ok;
    }

    bool mkmunge(int n, int posL, int posF, double w) {
        if (!mkmunge1(n, posL, posF, w)) return false;
        if (n_vecs_ < 0) {
            Py_ssize_t len = PyObject_Length(flist_);
            if (len < 0) return false;
            n_vecs_ = len;
        }
        for (Py_ssize_t L = posL + 1; L < n_vecs_; ++L)
            if (!mkmunge1(n, static_cast<int>(L), 0, w)) return false;
        return true;
    }

private:
    // A vector of the list with its mask, fetched at first use and kept
    // alive for the whole walk.
    struct Slot {
        bool fetched = false;
        Ref vec;                        // a SparseVectorD or None
        Ref mask;                       // None: every entry is used
        std::vector<signed char> used;  // per entry: -1 not asked yet, else the mask's verdict
    };

    PyObject* flist_;
    PyObject* masks_;
    PyObject* aux_;  // dict_aux, held by the caller
    KeySink* sink_ = nullptr;
    std::vector<Slot> slots_;
    Py_ssize_t n_vecs_ = -1;

    Slot* slot(int posL) {
        if (posL >= 0 && static_cast<std::size_t>(posL) < slots_.size() && slots_[posL].fetched) return &slots_[posL];
        Ref vec(item_at(flist_, posL));
        if (!vec) return nullptr;
        if (!check_convert(vec.get(), sparsmat->SparseVectorD, true)) return nullptr;
        Ref mask;
        Py_ssize_t n_masks = PyObject_Length(masks_);
        if (n_masks < 0) return nullptr;
        if (posL < n_masks) {
            mask = Ref(item_at(masks_, posL));
            if (!mask) return nullptr;
        } else {
            mask = Ref::borrow(Py_None);
        }
        QV_TRY
        if (slots_.size() <= static_cast<std::size_t>(posL)) slots_.resize(static_cast<std::size_t>(posL) + 1);
        Slot& s = slots_[posL];
        s.vec = std::move(vec);
        s.mask = std::move(mask);
        if (s.vec.get() != Py_None && s.mask.get() != Py_None)
            s.used.assign(reinterpret_cast<SparseVectorD*>(s.vec.get())->my_len, -1);
        s.fetched = true;
        return &s;
        QV_CATCH(nullptr)
    }

    // Whether the mask keeps the entry with index idx (mask[idx] is true).
    bool keeps(Slot& s, uint32_t i, coordinate_t idx, bool* out) {
        if (s.mask.get() == Py_None) {
            *out = true;
            return true;
        }
        if (s.used[i] < 0) {
            Ref flag(item_at(s.mask.get(), static_cast<Py_ssize_t>(idx)));
            if (!flag) return false;
            int t = PyObject_IsTrue(flag.get());
            if (t < 0) return false;
            s.used[i] = static_cast<signed char>(t);
        }
        *out = s.used[i] != 0;
        return true;
    }

    bool mkmunge1_body(int n, int posL, int posF, double w) {
        Slot* s = slot(posL);
        if (!s) return false;
        if (s->vec.get() == Py_None) {
            PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
            return false;
        }
        const SparseVectorD* vec = reinterpret_cast<SparseVectorD*>(s->vec.get());
        for (uint32_t i = posF < 0 ? 0 : static_cast<uint32_t>(posF); i < vec->my_len; ++i) {
            const coordinate_t idx = vec->idx_ptr[i];
            bool use;
            if (!keeps(*s, i, idx, &use)) return false;
            if (!use) continue;
            if (idx >= as_alph(aux_)->map.size()) {
                PyErr_Format(PyExc_IndexError, "munging: index %u is not an id of dict_aux (%zu words)", idx,
                             as_alph(aux_)->map.size());
                return false;
            }
            const double ww = w * vec->vals_ptr[i];
            if (!sink_->push(static_cast<int32_t>(idx))) return false;
            bool ok = sink_->emit(ww);
            if (ok && n > 1) ok = mkmunge(n - 1, posL, static_cast<int>(i) + 1, ww);
            if (!sink_->pop() || !ok) return false;
            s = slot(posL);  // the slot table may have grown
        }
        return true;
    }
};

// The bytes of '^'.join(partial) in the dictionary's encoding, when every
// entry is text; false (no error) otherwise.
bool native_prefix(PyObject* partial, int use_utf8, std::string* out) {
    Py_ssize_t n = PyList_GET_SIZE(partial);
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* item = PyList_GET_ITEM(partial, i);
        if (!PyUnicode_Check(item)) return false;
        Ref holder;
        const char* p;
        Py_ssize_t len;
        if (!alphabet_key_bytes(use_utf8, item, &holder, &p, &len)) {
            PyErr_Clear();  // the Python path raises it at the first key
            return false;
        }
        if (i > 0) out->push_back('^');
        out->append(p, static_cast<std::size_t>(len));
    }
    return true;
}

// mkmunge (or mkmunge1 when only_first) from (posL, posF) with the label
// stack `partial`, adding into a.
int run_walk(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF, PyObject* partial,
             double w, VecD1* a, bool only_first) {
    QV_TRY
    if (!PyList_Check(partial)) {
        PyErr_SetString(PyExc_TypeError, "munging needs a list as the partial key");
        return -1;
    }
    Ref dict = Ref::borrow(self->dict ? self->dict : Py_None);
    Ref aux = Ref::borrow(self->dict_aux ? self->dict_aux : Py_None);
    MungeWalk walk(flist, masks, aux.get());
    // The first vector is fetched before anything else.
    if (!walk.prepare(posL)) return -1;
    if (aux.get() == Py_None) {
        PyErr_SetString(PyExc_TypeError, "FCombo.dict_aux is None: munging needs the auxiliary dictionary");
        return -1;
    }
    if (dict.get() == Py_None) {
        raise_no_dict("munging");
        return -1;
    }
    std::unique_ptr<KeySink> sink;
    std::string prefix;
    if (dict_is_native(dict.get()) && as_alph(dict.get())->use_utf8 == as_alph(aux.get())->use_utf8 &&
        native_prefix(partial, as_alph(dict.get())->use_utf8, &prefix)) {
        sink.reset(new NativeSink(dict.get(), aux.get(), a->acc, std::move(prefix), PyList_GET_SIZE(partial)));
    } else {
        sink.reset(new PythonSink(dict.get(), aux.get(), partial, a->acc));
    }
    walk.set_sink(sink.get());
    bool ok = only_first ? walk.mkmunge1(n, posL, posF, w) : walk.mkmunge(n, posL, posF, w);
    return ok ? 0 : -1;
    QV_CATCH(-1)
}

// --- Python methods ------------------------------------------------------------------

// A fresh VecD1 (new reference).
PyObject* new_vec() { return PyObject_CallNoArgs(reinterpret_cast<PyObject*>(sparsmat->VecD1)); }

PyObject* to_sparse(PyObject* vec) {
    QV_TRY return reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&reinterpret_cast<VecD1*>(vec)->acc));
    QV_CATCH(nullptr)
}

PyObject* fc_munge_uni(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"flist", nullptr};
    static const ArgSpec spec{"munge_uni", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    FComboObject* fc = as_fc(self);
    Ref parts;
    if (PyObject_TypeCheck(a[0], &Multipart_Type)) {
        PyObject* p = reinterpret_cast<MultipartObject*>(a[0])->parts;
        parts = Ref::borrow(p ? p : Py_None);
    } else {
        Ref fl(feature_list_from(a[0]));
        if (!fl) return nullptr;
        parts = Ref(PyList_New(1));
        if (!parts) return nullptr;
        PyList_SET_ITEM(parts.get(), 0, fl.release());
    }
    if (!fc->dict_aux || fc->dict_aux == Py_None) {
        if (!fc->dict || fc->dict == Py_None) {
            PyErr_SetString(PyExc_TypeError, "FCombo.dict and FCombo.dict_aux are None: munge_uni needs a dictionary");
            return nullptr;
        }
        PyObject* flag = as_alph(fc->dict)->use_utf8 ? Py_True : Py_False;
        Ref aux(PyObject_CallOneArg(reinterpret_cast<PyObject*>(alphabet->StringAlphabet), flag));
        if (!aux) return nullptr;
        set_field(fc->dict_aux, aux.release());
    }
    Ref result(PyList_New(0));
    Ref vec(new_vec());
    Ref it(PyObject_GetIter(parts.get()));
    if (!result || !vec || !it) return nullptr;
    while (Ref part{PyIter_Next(it.get())}) {
        if (!check_convert(part.get(), &FeatureList_Type, false)) return nullptr;
        reinterpret_cast<VecD1*>(vec.get())->acc.clear();
        if (fc->ops->mkvec1(fc, reinterpret_cast<FeatureListObject*>(part.get()), reinterpret_cast<VecD1*>(vec.get())) <
            0)
            return nullptr;
        Ref sv(to_sparse(vec.get()));
        if (!sv || PyList_Append(result.get(), sv.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

PyObject* fc_munge_vec(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vecs", "mask", "labels", nullptr};
    static const ArgSpec spec{"munge_vec", names, 0, 2};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!refuse_text(a[0], "vecs", "sparse vectors") || !refuse_text(a[1], "mask", "masks") ||
        (a[2] && a[2] != Py_None && !refuse_text(a[2], "labels", "labels")))
        return nullptr;
    FComboObject* fc = as_fc(self);
    Ref vec(new_vec());
    if (!vec) return nullptr;
    VecD1* acc = reinterpret_cast<VecD1*>(vec.get());
    if (!a[2] || a[2] == Py_None) {
        Ref partial(PyList_New(0));
        if (!partial || fc->ops->mkmunge(fc, fc->n, a[0], a[1], 0, 0, partial.get(), 1.0, acc) < 0) return nullptr;
    } else {
        Ref it(PyObject_GetIter(a[2]));
        if (!it) return nullptr;
        while (Ref label{PyIter_Next(it.get())}) {
            Ref partial(PyList_New(1));
            if (!partial) return nullptr;
            PyList_SET_ITEM(partial.get(), 0, label.release());
            if (fc->ops->mkmunge(fc, fc->n, a[0], a[1], 0, 0, partial.get(), 1.0, acc) < 0) return nullptr;
        }
        if (PyErr_Occurred()) return nullptr;
    }
    return to_sparse(vec.get());
}

// "Unknown part type %d\n" for a kind that is none of 0, 1, 2.
bool report_unknown_kind(PyObject* kind) {
    Ref args(PyTuple_Pack(1, kind));
    if (!args) return false;
    Ref fmt(PyUnicode_FromString("Unknown part type %d\n"));
    if (!fmt) return false;
    Ref msg(PyUnicode_Format(fmt.get(), args.get()));
    if (!msg) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
        PyErr_Clear();  // not a number: print it as it is
        msg = Ref(PyUnicode_FromFormat("Unknown part type %S\n", kind));
        if (!msg) return false;
    }
    return write_stderr(msg.get());
}

PyObject* fc_munge_vec_2(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vecs", "mask", "kinds", nullptr};
    static const ArgSpec spec{"munge_vec_2", names, 0, 3};
    PyObject* a[3];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!refuse_text(a[0], "vecs", "sparse vectors") || !refuse_text(a[1], "mask", "masks") ||
        !refuse_text(a[2], "kinds", "part kinds"))
        return nullptr;
    FComboObject* fc = as_fc(self);
    Ref vec(new_vec());
    Ref vecs1(PyList_New(0)), masks1(PyList_New(0)), vecs2(PyList_New(0)), masks2(PyList_New(0));
    if (!vec || !vecs1 || !masks1 || !vecs2 || !masks2) return nullptr;
    Ref it_v(PyObject_GetIter(a[0]));
    if (!it_v) return nullptr;
    Ref it_m(PyObject_GetIter(a[1]));
    if (!it_m) return nullptr;
    Ref it_k(PyObject_GetIter(a[2]));
    if (!it_k) return nullptr;
    Ref one(PyLong_FromLong(1)), two(PyLong_FromLong(2)), zero(PyLong_FromLong(0));
    if (!one || !two || !zero) return nullptr;
    for (;;) {
        // zip(): stops at the end of the shortest, fetching in order.
        Ref v(PyIter_Next(it_v.get()));
        if (!v) break;
        Ref m(PyIter_Next(it_m.get()));
        if (!m) break;
        Ref k(PyIter_Next(it_k.get()));
        if (!k) break;
        int is0 = PyObject_RichCompareBool(k.get(), zero.get(), Py_EQ);
        if (is0 < 0) return nullptr;
        if (is0) continue;
        int is1 = PyObject_RichCompareBool(k.get(), one.get(), Py_EQ);
        if (is1 < 0) return nullptr;
        int is2 = is1 ? 0 : PyObject_RichCompareBool(k.get(), two.get(), Py_EQ);
        if (is2 < 0) return nullptr;
        if (is1 || is2) {
            if (PyList_Append(is1 ? vecs1.get() : vecs2.get(), v.get()) < 0 ||
                PyList_Append(is1 ? masks1.get() : masks2.get(), m.get()) < 0)
                return nullptr;
        } else if (!report_unknown_kind(k.get())) {
            return nullptr;
        }
    }
    if (PyErr_Occurred()) return nullptr;
    VecD1* acc = reinterpret_cast<VecD1*>(vec.get());
    Ref partial(PyList_New(0));
    if (!partial || fc->ops->mkmunge(fc, fc->n, vecs2.get(), masks2.get(), 0, 0, partial.get(), 1.0, acc) < 0)
        return nullptr;
    if (PyList_GET_SIZE(vecs1.get()) > 0) {
        Ref partial1(PyList_New(0));
        if (!partial1 || fc->ops->mkmunge(fc, 1, vecs1.get(), masks1.get(), 0, 0, partial1.get(), 1.0, acc) < 0)
            return nullptr;
    }
    return to_sparse(vec.get());
}

PyObject* fc_unmunge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"vec", nullptr};
    static const ArgSpec spec{"unmunge", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    FComboObject* fc = as_fc(self);
    if (!fc->dict || fc->dict == Py_None) return raise_no_dict("unmunge");
    Ref dict = Ref::borrow(fc->dict);
    const AlphabetOps* ops = reinterpret_cast<AbstractAlphabetObject*>(dict.get())->ops;
    Ref result(PyList_New(0));
    Ref it(PyObject_GetIter(a[0]));
    if (!result || !it) return nullptr;
    while (Ref item{PyIter_Next(it.get())}) {
        Ref kv[2];
        if (!unpack_exact(item.get(), 2, kv)) return nullptr;
        int32_t k;
        if (!to_int32(kv[0].get(), &k)) return nullptr;
        Py_ssize_t size = ops->size(dict.get());
        if (size < 0) return nullptr;
        if (k < 0 || k >= size) {
            PyErr_Format(PyExc_IndexError, "unmunge: index %d is not an id of the dictionary (%zd words)", k, size);
            return nullptr;
        }
        Ref word(ops->get_sym(dict.get(), k));
        if (!word) return nullptr;
        Ref pair(PyTuple_Pack(2, word.get(), kv[1].get()));
        if (!pair || PyList_Append(result.get(), pair.get()) < 0) return nullptr;
    }
    if (PyErr_Occurred()) return nullptr;
    return result.release();
}

}  // namespace

int op_mkmunge1(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF, PyObject* partial,
                double w, VecD1* a) {
    return run_walk(self, n, flist, masks, posL, posF, partial, w, a, true);
}

int op_mkmunge(FComboObject* self, int n, PyObject* flist, PyObject* masks, int posL, int posF, PyObject* partial,
               double w, VecD1* a) {
    return run_walk(self, n, flist, masks, posL, posF, partial, w, a, false);
}

PyMethodDef fc_munge_methods[] = {
    {"munge_uni", reinterpret_cast<PyCFunction>(fc_munge_uni), METH_FASTCALL | METH_KEYWORDS,
     "munge_uni($self, flist)\n--\n\n"
     "-> list of SparseVectorD: stage one of two-stage combination.\n\n"
     "Maps the plain features of flist (or of each part of a Multipart) onto the auxiliary\n"
     "dictionary dict_aux, without combination: one vector per part. dict_aux is created on first\n"
     "use with the encoding of `dict`; unknown names of a frozen dict_aux are skipped."},
    {"munge_vec", reinterpret_cast<PyCFunction>(fc_munge_vec), METH_FASTCALL | METH_KEYWORDS,
     "munge_vec($self, vecs, mask, labels=None)\n--\n\n"
     "-> SparseVectorD over `dict`: stage two.\n\n"
     "Enumerates every conjunction of up to n entries of the vectors of vecs (vectors over\n"
     "dict_aux, as munge_uni returns them), taken in order through the concatenated vectors, and\n"
     "adds the key 'w1^w2^...' (with labels: 'label^w1^...' per label) with the product of the\n"
     "values. mask holds one mask per vector (a missing or None mask keeps every entry); an\n"
     "entry with index i is kept when mask[i] is true. No bias, scale or norm applies."},
    {"munge_vec_2", reinterpret_cast<PyCFunction>(fc_munge_vec_2), METH_FASTCALL | METH_KEYWORDS,
     "munge_vec_2($self, vecs, mask, kinds)\n--\n\n"
     "-> SparseVectorD over `dict`.\n\n"
     "kinds gives one kind per vector: 0 drops it, 1 adds its entries singly, 2 combines them\n"
     "(up to n) with the other kind-2 entries; any other kind prints 'Unknown part type %d' on\n"
     "sys.stderr and drops the vector. At least one vector must be of kind 2 (else IndexError)."},
    {"unmunge", reinterpret_cast<PyCFunction>(fc_unmunge), METH_FASTCALL | METH_KEYWORDS,
     "unmunge($self, vec)\n--\n\n"
     "-> list of (word, value): the (index, value) pairs of vec with each index\n"
     "replaced by its word in `dict`."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
