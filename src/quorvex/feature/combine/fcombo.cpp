// FCombo: the feature combiner. Turns feature lists into sparse vectors
// over a StringAlphabet, adding every conjunction of up to n features
// ("a^b^c", weighted by the product of the values), optional target labels
// ("label^a^b") and a bias feature.
#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/args.h"
#include "common/dispatch.h"
#include "common/errors.h"
#include "common/getset.h"
#include "common/interned.h"
#include "common/text_args.h"
#include "cxx_gram.h"
#include "feature/combine/combiner.h"
#include "feature/combine/fcombo.h"
#include "feature/combine/vector_cache.h"
#include "feature/lists/multipart.h"
#include "feature/reprs.h"

namespace qv {

bool lookup_and_add(PyObject* dict, PyObject* key, double w, SparseAccum<double>& acc) {
    Ref id(PyObject_GetItem(dict, key));
    if (!id) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) return false;
        PyErr_Clear();
        return true;
    }
    coordinate_t k;
    if (!to_uint32(id.get(), &k)) return false;
    QV_TRY acc.add(k, w);
    QV_CATCH(false)
    return true;
}

namespace {

Overridable op_escaped_name{"escaped"};
Overridable op_unescaped_name{"unescaped"};

// --- escaped / unescaped ------------------------------------------------------

PyObject* escaped_native(FComboObject* self, int n) {
    // The cache may be any object, so len(), indexing and append() may run
    // Python code that replaces `dict` or `escaped_words` or changes the
    // words: both are held for the call and the word count is checked anew
    // before every word is read.
    Ref dict = Ref::borrow(self->dict);
    if (!dict || dict.get() == Py_None) return raise_no_dict("escaped");
    Ref cache = Ref::borrow(self->escaped_words);
    Py_ssize_t have = PyObject_Length(cache.get());
    if (have < 0) return nullptr;
    if (n < have) return PySequence_GetItem(cache.get(), n);
    std::string buf;
    for (Py_ssize_t i = have; i <= n; ++i) {
        CPPAlphabet& map = as_alph(dict.get())->map;
        if (static_cast<std::size_t>(n) >= map.size()) {
            PyErr_Format(PyExc_IndexError, "escaped(%d): the dictionary has only %zu words", n, map.size());
            return nullptr;
        }
        buf.clear();
        int32_t id = static_cast<int32_t>(i);
        QV_TRY escape_amis_append(map.word(id), map.word_len(id), buf);
        QV_CATCH(nullptr)
        Ref word(PyBytes_FromStringAndSize(buf.data(), static_cast<Py_ssize_t>(buf.size())));
        if (!word) return nullptr;
        int r = PyList_Check(cache.get()) ? PyList_Append(cache.get(), word.get())
                                          : (Ref(PyObject_CallMethod(cache.get(), "append", "O", word.get())) ? 0 : -1);
        if (r < 0) return nullptr;
    }
    return PySequence_GetItem(cache.get(), n);
}

int unescaped_native(FComboObject* self, PyObject* w0) {
    const char* p;
    Py_ssize_t len;
    if (PyBytes_Check(w0)) {
        p = PyBytes_AS_STRING(w0);
        len = PyBytes_GET_SIZE(w0);
    } else if (PyByteArray_Check(w0)) {
        p = PyByteArray_AS_STRING(w0);
        len = PyByteArray_GET_SIZE(w0);
    } else {
        PyErr_Format(PyExc_TypeError, "unescaped() needs a byte string, not %.200s", Py_TYPE(w0)->tp_name);
        return -1;
    }
    if (!self->dict || self->dict == Py_None) {
        raise_no_dict("unescaped");
        return -1;
    }
    std::string plain;
    QV_TRY unescape_amis_append(p, static_cast<std::size_t>(len), plain);
    QV_CATCH(-1)
    Ref key(PyBytes_FromStringAndSize(plain.data(), static_cast<Py_ssize_t>(plain.size())));
    if (!key) return -1;
    if (self->codec && self->codec != Py_None) {
        Ref decoded(PyObject_CallMethod(self->codec, "decode", "O", key.get()));
        if (!decoded) return -1;
        key = Ref(PySequence_GetItem(decoded.get(), 0));
        if (!key) return -1;
    }
    // The codec may have replaced `dict`: read it now and hold it.
    Ref dict = Ref::borrow(self->dict);
    if (!dict || dict.get() == Py_None) {
        raise_no_dict("unescaped");
        return -1;
    }
    Ref id(PyObject_GetItem(dict.get(), key.get()));
    if (!id) return -1;
    int32_t v;
    return to_int32(id.get(), &v) ? v : -1;
}

// Internal entry points: the override of a Python subclass wins.
PyObject* op_escaped(FComboObject* self, int n) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    int r = find_override(me, &FCombo_Type, op_escaped_name);
    if (r < 0) return nullptr;
    if (r == 0) return escaped_native(self, n);
    Ref arg(PyLong_FromLong(n));
    if (!arg) return nullptr;
    PyObject* args[] = {arg.get()};
    return call_override(me, op_escaped_name, args, 1);
}

int op_unescaped(FComboObject* self, PyObject* w0) {
    PyObject* me = reinterpret_cast<PyObject*>(self);
    int r = find_override(me, &FCombo_Type, op_unescaped_name);
    if (r < 0) return -1;
    if (r == 0) return unescaped_native(self, w0);
    PyObject* args[] = {w0};
    Ref result(call_override(me, op_unescaped_name, args, 1));
    int32_t v;
    return result && to_int32(result.get(), &v) ? v : -1;
}

// --- combination through Python lookups ------------------------------------------

struct PartSnapshot {
    Ref names;
    std::vector<double> vals;
    explicit PartSnapshot(FeatureListObject* fl)
        : names(Ref::borrow(fl->features)), vals(fl->vals, fl->vals + feature_list_len(fl)) {}
};

bool mkvec_rec(FComboObject* self, PyObject* dict, int n, const PartSnapshot& part, Py_ssize_t pos, PyObject* partial,
               double w, SparseAccum<double>& acc) {
    static Interned caret("^");
    PyObject* sep = caret.get();
    if (!sep) return false;
    if (Py_EnterRecursiveCall(" in FCombo feature combination")) return false;
    bool ok = true;
    for (Py_ssize_t i = pos; ok && i < static_cast<Py_ssize_t>(part.vals.size()); ++i) {
        if (PyList_Append(partial, PyList_GET_ITEM(part.names.get(), i)) < 0) {
            ok = false;
            break;
        }
        double ww = w * part.vals[i];
        Ref key(PyUnicode_Join(sep, partial));
        ok = key && lookup_and_add(dict, key.get(), ww, acc);
        if (ok && n > 1) ok = mkvec_rec(self, dict, n - 1, part, i + 1, partial, ww, acc);
        Py_ssize_t len = PyList_GET_SIZE(partial);
        if (PyList_SetSlice(partial, len - 1, len, nullptr) < 0) ok = false;
    }
    Py_LeaveRecursiveCall();
    return ok;
}

int op_mkvec(FComboObject* self, int n, FeatureListObject* flist, int pos, PyObject* partial, double w, VecD1* a) {
    PyObject* dict = self->dict;
    if (!dict || dict == Py_None) {
        raise_no_dict("vectorising");
        return -1;
    }
    Ref hold_dict = Ref::borrow(dict);
    PartSnapshot part(flist);
    return mkvec_rec(self, dict, n, part, pos, partial, w, a->acc) ? 0 : -1;
}

int op_mkvec1(FComboObject* self, FeatureListObject* flist, VecD1* a) {
    PyObject* dict = self->dict_aux;
    if (!dict || dict == Py_None) {
        PyErr_SetString(PyExc_TypeError, "FCombo.dict_aux is None: plain features need an auxiliary dictionary");
        return -1;
    }
    Ref hold_dict = Ref::borrow(dict);
    PartSnapshot part(flist);
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(part.vals.size()); ++i)
        if (!lookup_and_add(dict, PyList_GET_ITEM(part.names.get(), i), part.vals[i], a->acc)) return -1;
    return 0;
}

// --- vectorising ------------------------------------------------------------------

// The two ways of building one vector: natively against the table of a
// StringAlphabet, or through Python subscripts of any other dictionary
// (a subclass overriding __getitem__). Both see the same calls, in the
// order that fixes the ids a growing dictionary hands out.
class Builder {
public:
    virtual ~Builder() = default;
    // Adds 1.0 at the id of the key lbl + suffix, unless unknown.
    virtual bool label_bias(PyObject* lbl) = 0;
    virtual bool combine(FeatureListObject* part, int n, PyObject* label, double w) = 0;
    // combine(FeatureList(flist), n, no label, 1.0) for a plain list, when
    // the builder can read it in place: 1 when done, 0 when it cannot (no
    // error), -1 on error.
    virtual int combine_list(PyObject*, int) { return 0; }
    virtual SparseAccum<double>& accumulator() = 0;
    virtual bool finish() = 0;
};

// The combiner of one vectorising call: the object's own (whose scratch
// buffers are reused) unless another call on the stack is using it, then
// one of the call's own. The object's first combiner is made here and kept.
class CombinerLease {
public:
    explicit CombinerLease(FComboObject* self) {
        if (!self->combiner) self->combiner = new Combiner();
        if (self->combiner->busy) {
            owned_ = std::make_unique<Combiner>();
            c_ = owned_.get();
        } else {
            c_ = self->combiner;
        }
        c_->busy = true;
    }
    ~CombinerLease() { c_->busy = false; }
    CombinerLease(const CombinerLease&) = delete;
    CombinerLease& operator=(const CombinerLease&) = delete;

    Combiner* operator->() const { return c_; }

private:
    std::unique_ptr<Combiner> owned_;
    Combiner* c_;
};

class NativeBuilder : public Builder {
public:
    NativeBuilder(FComboObject* self, PyObject* dict) : dict_(Ref::borrow(dict)), c_(self) {
        if (!self->conj) self->conj = new ConjMemo();
        c_->begin(&as_alph(dict)->map, as_alph(dict)->use_utf8, false, self->conj, dict);
    }
    ~NativeBuilder() override { c_->end(); }

    bool set_bias_suffix(int32_t bias_item) {
        CPPAlphabet& map = as_alph(dict_.get())->map;
        if (bias_item < 0 || static_cast<std::size_t>(bias_item) >= map.size()) {
            PyErr_Format(PyExc_IndexError, "bias id %d is not in the dictionary", bias_item);
            return false;
        }
        suffix_.assign(1, '^');
        suffix_.append(map.word(bias_item), map.word_len(bias_item));
        return true;
    }

    bool label_bias(PyObject* lbl) override {
        Ref holder;
        const char* p;
        Py_ssize_t n;
        if (!PyUnicode_Check(lbl)) {
            // Whatever lbl + "^word" gives in Python, looked up as a key.
            Ref suffix(alphabet_decode(as_alph(dict_.get())->use_utf8, suffix_.data(), suffix_.size()));
            Ref key(suffix ? PyNumber_Add(lbl, suffix.get()) : nullptr);
            if (!key) return false;
            if (!c_->flush()) return false;
            return lookup_and_add(dict_.get(), key.get(), 1.0, c_->acc);
        }
        if (!alphabet_key_bytes(as_alph(dict_.get())->use_utf8, lbl, &holder, &p, &n)) return false;
        key_.assign(p, static_cast<std::size_t>(n));
        key_.append(suffix_);
        QV_TRY return c_->add_key(key_.data(), key_.size(), 1.0);
        QV_CATCH(false)
    }

    bool combine(FeatureListObject* part, int n, PyObject* label, double w) override {
        QV_TRY
        if (!c_->load_part(part)) return false;
        if (!label) return c_->combine(n, false, nullptr, 0, w);
        if (!PyUnicode_Check(label)) {
            if (feature_list_len(part) == 0) return true;
            if (!c_->flush()) return false;
            PyErr_Format(PyExc_TypeError, "sequence item 0: expected str instance, %.80s found",
                         Py_TYPE(label)->tp_name);
            return false;
        }
        Ref holder;
        const char* p;
        Py_ssize_t len;
        if (!alphabet_key_bytes(as_alph(dict_.get())->use_utf8, label, &holder, &p, &len)) {
            // The label fails at the first key, after the keys before it.
            if (feature_list_len(part) == 0) {
                PyErr_Clear();
                return true;
            }
            PendingError keep;
            if (!c_->flush()) keep.discard();  // the flush's error wins
            return false;
        }
        return c_->combine(n, true, p, len, w);
        QV_CATCH(false)
    }

    int combine_list(PyObject* flist, int n) override {
        FastItems items;
        if (read_fast_items(flist, &items) == 0) return 0;
        QV_TRY
        const int r = c_->load_items(flist, items);
        if (r <= 0) return r;
        return c_->combine(n, false, nullptr, 0, 1.0) ? 1 : -1;
        QV_CATCH(-1)
    }

    SparseAccum<double>& accumulator() override { return c_->acc; }
    bool finish() override { return c_->flush(); }
    // Starts the next vector of the same call (the loaded parts stay).
    void next_vector() { c_->acc.clear(); }
    // See Combiner::defer_to and Combiner::combine_recorded.
    void defer_to(DeferredRows* rows) { c_->defer_to(rows); }
    void combine_recorded(const DeferredRows::Task& task, SparseAccum<double>& acc) { c_->combine_recorded(task, acc); }

    // The vectors of fc(part, labels=[label]) for every label, with every
    // key of every label probed in one pass (more cache misses overlap).
    // For a FeatureList, no bias and str labels; false with an error.
    bool label_vectors(FeatureListObject* part, int n, PyObject* labels, PyObject* result) {
        const Py_ssize_t count = PyList_GET_SIZE(labels);
        std::vector<SparseAccum<double>>& accs = c_->label_accs;
        if (accs.size() < static_cast<std::size_t>(count))
            accs.resize(static_cast<std::size_t>(count), SparseAccum<double>{});
        if (!c_->load_part(part)) return false;
        const int use_utf8 = as_alph(dict_.get())->use_utf8;
        for (Py_ssize_t i = 0; i < count; ++i) {
            accs[i].clear();
            Ref holder;
            const char* p;
            Py_ssize_t len;
            if (!alphabet_key_bytes(use_utf8, PyList_GET_ITEM(labels, i), &holder, &p, &len)) return false;
            c_->target(&accs[i]);
            bool ok = c_->combine(n, true, p, len, 1.0);
            c_->target(nullptr);
            if (!ok) return false;
        }
        if (!c_->flush()) return false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* v = reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&accs[i]));
            if (!v) return false;
            PyList_SET_ITEM(result, i, v);
        }
        return true;
    }

private:
    Ref dict_;
    CombinerLease c_;
    std::string suffix_, key_;
};

class PythonBuilder : public Builder {
public:
    PythonBuilder(FComboObject* self, PyObject* dict) : self_(self), dict_(Ref::borrow(dict)) {
        vec_ = Ref(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(sparsmat->VecD1)));
    }
    bool ok() const { return static_cast<bool>(vec_); }

    bool set_bias_suffix(int32_t bias_item) {
        Ref words(PyObject_GetAttrString(dict_.get(), "words"));
        Ref word(words ? PySequence_GetItem(words.get(), bias_item) : nullptr);
        Ref caret(PyUnicode_FromString("^"));
        if (!word || !caret) return false;
        suffix_ = Ref(PyNumber_Add(caret.get(), word.get()));
        return static_cast<bool>(suffix_);
    }

    bool label_bias(PyObject* lbl) override {
        Ref key(PyNumber_Add(lbl, suffix_.get()));
        return key && lookup_and_add(dict_.get(), key.get(), 1.0, accumulator());
    }

    bool combine(FeatureListObject* part, int n, PyObject* label, double w) override {
        Ref partial(label ? PyList_New(1) : PyList_New(0));
        if (!partial) return false;
        if (label) {
            Py_INCREF(label);
            PyList_SET_ITEM(partial.get(), 0, label);
        }
        return self_->ops->mkvec(self_, n, part, 0, partial.get(), w, reinterpret_cast<VecD1*>(vec_.get())) == 0;
    }

    SparseAccum<double>& accumulator() override { return reinterpret_cast<VecD1*>(vec_.get())->acc; }
    bool finish() override { return true; }

private:
    FComboObject* self_;
    Ref dict_;
    Ref vec_;
    Ref suffix_;
};

// A FeatureList for a part of a Multipart, or a TypeError.
FeatureListObject* as_part(PyObject* part) {
    if (!check_convert(part, &FeatureList_Type, false)) return nullptr;
    return reinterpret_cast<FeatureListObject*>(part);
}

// Calls fn(label) for each label of a fresh iteration over labels.
template <class Fn>
bool for_each_label(PyObject* labels, Fn fn) {
    Ref it(PyObject_GetIter(labels));
    if (!it) return false;
    while (Ref lbl{PyIter_Next(it.get())})
        if (!fn(lbl.get())) return false;
    return !PyErr_Occurred();
}

bool vectorise(FComboObject* self, Builder& b, bool set_suffix_ok, PyObject* flist, PyObject* labels) {
    const bool has_labels = labels && labels != Py_None;
    if (has_labels && !refuse_text(labels, "labels", "labels")) return false;
    const bool is_mp = PyObject_TypeCheck(flist, &Multipart_Type);
    if (self->bias_item >= 0) {
        if (!has_labels) {
            QV_TRY b.accumulator().add(static_cast<coordinate_t>(self->bias_item), 1.0);
            QV_CATCH(false)
        } else {
            if (!set_suffix_ok) return false;
            if (!for_each_label(labels, [&b](PyObject* lbl) { return b.label_bias(lbl); })) return false;
        }
    }
    Ref main;
    if (is_mp) {
        PyObject* parts = reinterpret_cast<MultipartObject*>(flist)->parts;
        main = Ref(PySequence_GetItem(parts ? parts : Py_None, 0));
        if (!main || !as_part(main.get())) return false;
    } else if (PyObject_TypeCheck(flist, &FeatureList_Type)) {
        main = Ref::borrow(flist);
    } else {
        if (!has_labels) {
            const int r = b.combine_list(flist, self->n);
            if (r != 0) return r > 0 && b.finish();
        }
        main = Ref(feature_list_from(flist));
        if (!main) return false;
    }
    FeatureListObject* fl = reinterpret_cast<FeatureListObject*>(main.get());
    if (!has_labels) {
        if (!b.combine(fl, self->n, nullptr, 1.0)) return false;
    } else if (!for_each_label(labels, [&](PyObject* lbl) { return b.combine(fl, self->n, lbl, 1.0); })) {
        return false;
    }
    if (is_mp) {
        Py_ssize_t count = PyObject_Length(flist);
        if (count < 0) return false;
        for (Py_ssize_t i = 1; i < count; ++i) {
            PyObject* parts = reinterpret_cast<MultipartObject*>(flist)->parts;
            Ref part(PySequence_GetItem(parts ? parts : Py_None, i));
            if (!part) return false;
            FeatureListObject* pl = as_part(part.get());
            if (!pl) return false;
            if (feature_list_len(pl) == 0) continue;
            double weight = self->scale;
            if (self->norm_p != 0.0) {
                Ref p_obj(PyFloat_FromDouble(self->norm_p));
                if (!p_obj) return false;
                double p = pl->ops->get_p_norm(pl, p_obj.get());
                if (p == 0.0) {
                    raise_float_division();
                    return false;
                }
                weight = self->scale / p;
            }
            if (!has_labels) {
                if (!b.combine(pl, 1, nullptr, weight)) return false;
            } else if (!for_each_label(labels, [&](PyObject* lbl) { return b.combine(pl, 1, lbl, weight); })) {
                return false;
            }
        }
    }
    return b.finish();
}

}  // namespace

PyObject* raise_no_dict(const char* what) {
    PyErr_Format(PyExc_TypeError, "FCombo.dict is None: %s needs a dictionary", what);
    return nullptr;
}

namespace {

PyObject* vectorise_new(FComboObject* self, PyObject* flist, PyObject* labels) {
    QV_TRY
    PyObject* dict = self->dict;
    if (!dict || dict == Py_None) return raise_no_dict("vectorising");
    const bool has_labels = labels && labels != Py_None;
    const bool need_suffix = self->bias_item >= 0 && has_labels;
    if (dict_is_native(dict)) {
        NativeBuilder b(self, dict);
        bool suffix_ok = !need_suffix || b.set_bias_suffix(self->bias_item);
        if (!vectorise(self, b, suffix_ok, flist, labels)) return nullptr;
        return reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&b.accumulator()));
    }
    PythonBuilder b(self, dict);
    if (!b.ok()) return nullptr;
    bool suffix_ok = !need_suffix || b.set_bias_suffix(self->bias_item);
    if (!vectorise(self, b, suffix_ok, flist, labels)) return nullptr;
    return reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&b.accumulator()));
    QV_CATCH(nullptr)
}

}  // namespace

PyObject* fcombo_label_vectors(FComboObject* self, PyObject* flist, PyObject* labels, bool own_list) {
    QV_TRY
    if (!self->dict || self->dict == Py_None) return raise_no_dict("vectorising");
    if (!refuse_text(labels, "labels", "labels")) return nullptr;
    Ref seq(own_list ? Ref::borrow(labels) : Ref(PySequence_List(labels)));
    if (!seq) return nullptr;
    const Py_ssize_t count = PyList_GET_SIZE(seq.get());
    Ref result(PyList_New(count));
    if (!result || count == 0) return result.release();
    // The input is made a FeatureList once, not once per label.
    Ref input = Ref::borrow(flist);
    if (!PyObject_TypeCheck(flist, &FeatureList_Type) && !PyObject_TypeCheck(flist, &Multipart_Type)) {
        input = Ref(feature_list_from(flist));
        if (!input) return nullptr;
    }
    // Iterating the labels and converting the input may have run Python
    // code that replaced `dict`: read it only now, and hold it.
    Ref hold_dict = Ref::borrow(self->dict);
    PyObject* dict = hold_dict.get();
    if (!dict || dict == Py_None) return raise_no_dict("vectorising");
    std::optional<NativeBuilder> native;
    bool suffix_ok = true;
    if (dict_is_native(dict)) {
        native.emplace(self, dict);
        bool all_text = true;
        for (Py_ssize_t i = 0; i < count && all_text; ++i) all_text = PyUnicode_Check(PyList_GET_ITEM(seq.get(), i));
        if (self->bias_item < 0 && all_text && PyObject_TypeCheck(input.get(), &FeatureList_Type)) {
            auto* fl = reinterpret_cast<FeatureListObject*>(input.get());
            if (!native->label_vectors(fl, self->n, seq.get(), result.get())) return nullptr;
            return result.release();
        }
        if (self->bias_item >= 0) suffix_ok = native->set_bias_suffix(self->bias_item);
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref one(PyTuple_Pack(1, PyList_GET_ITEM(seq.get(), i)));
        if (!one) return nullptr;
        PyObject* v;
        if (native) {
            native->next_vector();
            if (!vectorise(self, *native, suffix_ok, input.get(), one.get())) return nullptr;
            v = reinterpret_cast<PyObject*>(sparsmat->accum_to_sparse_d(&native->accumulator()));
        } else {
            v = vectorise_new(self, input.get(), one.get());
        }
        if (!v) return nullptr;
        PyList_SET_ITEM(result.get(), i, v);
    }
    return result.release();
    QV_CATCH(nullptr)
}

PyObject* fcombo_vectorise(FComboObject* self, PyObject* flist, PyObject* labels) {
    if ((labels && labels != Py_None) || !self->dict || self->dict == Py_None)
        return vectorise_new(self, flist, labels);
    VectorCache::Miss miss;
    QV_TRY
    if (!self->memo) self->memo = new VectorCache();
    if (PyObject* kept = self->memo->find(self, flist, &miss)) return kept;
    QV_CATCH(nullptr)
    PyObject* v = vectorise_new(self, flist, labels);
    if (v && miss.keepable) {
        QV_TRY self->memo->keep(self, flist, miss, v);
        QV_CATCH((Py_DECREF(v), nullptr))
    }
    return v;
}

namespace {

// Whether a name is read without allocating: an exact str whose UTF-8
// form is at hand (cached by the first call for non-ASCII names; a name
// that cannot be encoded raises, and is not read without allocating).
bool reads_in_place(PyObject* name) {
    if (!PyUnicode_CheckExact(name)) return false;
    if (PyUnicode_IS_COMPACT_ASCII(name)) return true;
    Py_ssize_t n;
    if (PyUnicode_AsUTF8AndSize(name, &n)) return true;
    PyErr_Clear();
    return false;
}

// Whether reading every input runs no Python code, nor allocates a Python
// object (whose collection could run some): FeatureLists, and exact lists
// or tuples of at most FastItems::kMax names or (name, float or int)
// pairs, every name read in place. Checked before anything is recorded.
bool all_run_no_python(PyObject* inputs) {
    const Py_ssize_t count = PyList_GET_SIZE(inputs);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* input = PyList_GET_ITEM(inputs, i);
        if (PyObject_TypeCheck(input, &FeatureList_Type)) {
            PyObject* names = reinterpret_cast<FeatureListObject*>(input)->features;
            if (!names || !PyList_Check(names)) return false;
            for (Py_ssize_t j = 0; j < PyList_GET_SIZE(names); ++j)
                if (!reads_in_place(PyList_GET_ITEM(names, j))) return false;
            continue;
        }
        if (!PyList_CheckExact(input) && !PyTuple_CheckExact(input)) return false;
        const Py_ssize_t n = PySequence_Fast_GET_SIZE(input);
        if (n > FastItems::kMax) return false;
        PyObject** items = PySequence_Fast_ITEMS(input);
        for (Py_ssize_t j = 0; j < n; ++j) {
            PyObject* item = items[j];
            if (!PyUnicode_CheckExact(item)) {
                if ((!PyTuple_CheckExact(item) && !PyList_CheckExact(item)) || PySequence_Fast_GET_SIZE(item) != 2)
                    return false;
                PyObject* value = PySequence_Fast_GET_ITEM(item, 1);
                if (!PyFloat_CheckExact(value) && !PyLong_CheckExact(value)) return false;
                item = PySequence_Fast_GET_ITEM(item, 0);
            }
            if (!reads_in_place(item)) return false;
        }
    }
    return true;
}

}  // namespace

bool fcombo_vectorise_rows(FComboObject* self, PyObject* inputs, PyObject* labels, CsrRows<double>& rows,
                           uint64_t* n_cols) {
    QV_TRY
    Ref hold_dict = Ref::borrow(self->dict);
    PyObject* dict = hold_dict.get();
    if (!dict || dict == Py_None) {
        raise_no_dict("vectorising");
        return false;
    }
    const bool need_suffix = self->bias_item >= 0 && labels;
    // Row i is what fc(inputs[i], labels) returns, compacted the same way,
    // appended without making the vector.
    auto append = [](SparseAccum<double>& acc, CsrRows<double>& to) {
        acc.compact();
        to.append_row(acc.entries, acc.len);
    };
    const Py_ssize_t count = PyList_GET_SIZE(inputs);
    if (dict_is_native(dict)) {
        NativeBuilder b(self, dict);
        const bool suffix_ok = !need_suffix || b.set_bias_suffix(self->bias_item);
        // Rows made of one list each, read without running Python code, can
        // be walked after the batch is read, on two threads (see
        // DeferredRows).
        // The memo lets go of an earlier dictionary now, before the inputs
        // are checked: letting go of it can run Python code.
        self->conj->sync(dict, as_alph(dict)->map);
        const bool deferring = !labels && self->bias_item < 0 && as_alph(dict)->use_utf8 && all_run_no_python(inputs);
        auto deferred = std::make_unique<DeferredRows>();
        auto walk_again = [&b](const DeferredRows::Task& task, SparseAccum<double>& acc) {
            b.combine_recorded(task, acc);
        };
        for (Py_ssize_t i = 0; i < count; ++i) {
            b.next_vector();
            Ref input = Ref::borrow(PyList_GET_ITEM(inputs, i));
            const std::size_t tasks = deferred->size();
            b.defer_to(deferring ? deferred.get() : nullptr);
            if (!vectorise(self, b, suffix_ok, input.get(), labels)) return false;
            if (deferred->size() > tasks) {
                deferred->row_recorded();
            } else if (!deferred->empty()) {
                b.accumulator().compact();
                deferred->row_walked(b.accumulator());
            } else {
                append(b.accumulator(), rows);
            }
            if (deferred->segment_full()) {
                deferred->finish(*self->conj, rows, walk_again);
                b.defer_to(nullptr);
                deferred = std::make_unique<DeferredRows>();
            }
        }
        *n_cols = as_alph(dict)->map.size();
        deferred->finish(*self->conj, rows, walk_again);
        b.defer_to(nullptr);
        return true;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PythonBuilder b(self, dict);
        if (!b.ok()) return false;
        const bool suffix_ok = !need_suffix || b.set_bias_suffix(self->bias_item);
        Ref input = Ref::borrow(PyList_GET_ITEM(inputs, i));
        if (!vectorise(self, b, suffix_ok, input.get(), labels)) return false;
        append(b.accumulator(), rows);
    }
    Py_ssize_t size = PyObject_Length(dict);
    if (size < 0) return false;
    *n_cols = static_cast<uint64_t>(size);
    return true;
    QV_CATCH(false)
}

FComboOps fcombo_ops = {op_escaped, op_unescaped, op_mkvec, op_mkvec1, op_mkmunge1, op_mkmunge};

namespace {

// --- type slots ----------------------------------------------------------------------

PyObject* fc_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    FComboObject* fc = as_fc(self);
    fc->ops = &fcombo_ops;
    for (PyObject** field : {&fc->dict, &fc->dict_aux, &fc->escaped_words, &fc->codec, &fc->encoding}) {
        Py_INCREF(Py_None);
        *field = Py_None;
    }
    return self;
}

int fc_init(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"n", "mydict", "bias_item", "want_utf8", "scale", "norm_p", nullptr};
    static const ArgSpec spec{"FCombo", names, 0, 1};
    PyObject* a[6];
    if (!parse_tuple(spec, args, kwds, a)) return -1;
    int32_t n;
    if (!to_int32(a[0], &n)) return -1;
    PyObject* want_utf8 = a[3] ? a[3] : Py_True;
    Ref dict;
    if (a[1] && a[1] != Py_None) {
        if (!check_arg_type(a[1], alphabet->StringAlphabet, "mydict", true)) return -1;
        dict = Ref::borrow(a[1]);
    } else {
        dict = Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(alphabet->StringAlphabet), want_utf8));
        if (!dict) return -1;
    }
    int32_t bias = -1;
    if (a[2] && a[2] != Py_None) {
        Ref id(PyObject_GetItem(dict.get(), a[2]));
        if (!id || !to_int32(id.get(), &bias)) return -1;
    }
    Ref cache(PyList_New(0));
    if (!cache) return -1;
    double norm_p = 0.0, scale = 1.0;
    if (a[5] && !to_double(a[5], &norm_p)) return -1;
    if (a[4] && !to_double(a[4], &scale)) return -1;
    int utf8;
    if (!to_flag(want_utf8, &utf8)) return -1;
    Ref encoding(PyUnicode_FromString(utf8 ? "UTF-8" : "ISO-8859-15"));
    if (!encoding) return -1;
    FComboObject* fc = as_fc(self);
    fc->n = n;
    fc->bias_item = bias;
    fc->norm_p = norm_p;
    fc->scale = scale;
    set_field(fc->dict, dict.release());
    set_field(fc->escaped_words, cache.release());
    Py_INCREF(Py_None);
    set_field(fc->codec, Py_None);
    set_field(fc->encoding, encoding.release());
    return 0;
}

int fc_traverse(PyObject* self, visitproc visit, void* arg) {
    FComboObject* fc = as_fc(self);
    Py_VISIT(fc->dict);
    Py_VISIT(fc->dict_aux);
    Py_VISIT(fc->escaped_words);
    Py_VISIT(fc->codec);
    Py_VISIT(fc->encoding);
    if (fc->memo) Py_VISIT(fc->memo->dict());
    if (fc->conj) Py_VISIT(fc->conj->dict());
    return 0;
}

int fc_clear(PyObject* self) {
    FComboObject* fc = as_fc(self);
    Py_CLEAR(fc->dict);
    Py_CLEAR(fc->dict_aux);
    Py_CLEAR(fc->escaped_words);
    Py_CLEAR(fc->codec);
    Py_CLEAR(fc->encoding);
    if (fc->memo) fc->memo->clear();
    if (fc->conj) fc->conj->clear();
    return 0;
}

void fc_dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    fc_clear(self);
    delete as_fc(self)->combiner;
    delete as_fc(self)->memo;
    delete as_fc(self)->conj;
    Py_TYPE(self)->tp_free(self);
}

PyObject* fc_call(PyObject* self, PyObject* args, PyObject* kwds) {
    static const char* const names[] = {"flist", "labels", nullptr};
    static const ArgSpec spec{"__call__", names, 0, 1};
    PyObject* a[2];
    if (!parse_tuple(spec, args, kwds, a)) return nullptr;
    return fcombo_vectorise(as_fc(self), a[0], a[1]);
}

PyObject* fc_label_vectors(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"flist", "labels", nullptr};
    static const ArgSpec spec{"label_vectors", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    return fcombo_label_vectors(as_fc(self), a[0], a[1]);
}

PyObject* fc_escaped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"n", nullptr};
    static const ArgSpec spec{"escaped", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    int32_t n;
    if (!to_int32(a[0], &n)) return nullptr;
    return escaped_native(as_fc(self), n);
}

PyObject* fc_unescaped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"w0", nullptr};
    static const ArgSpec spec{"unescaped", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    int id = unescaped_native(as_fc(self), a[0]);
    return id < 0 && PyErr_Occurred() ? nullptr : PyLong_FromLong(id);
}

PyMethodDef fc_base_methods[] = {
    {"label_vectors", reinterpret_cast<PyCFunction>(fc_label_vectors), METH_FASTCALL | METH_KEYWORDS,
     "label_vectors($self, flist, labels)\n--\n\n"
     "-> list: one vector per label, vector i being\n"
     "fc(flist, labels=[labels[i]]), in one call (the features are read and encoded once).\n"
     "For structured models that score every candidate label of an item."},
    {"escaped", reinterpret_cast<PyCFunction>(fc_escaped), METH_FASTCALL | METH_KEYWORDS,
     "escaped($self, n)\n--\n\n"
     "-> bytes: the escaped form of word n of `dict` (cached in escaped_words)."},
    {"unescaped", reinterpret_cast<PyCFunction>(fc_unescaped), METH_FASTCALL | METH_KEYWORDS,
     "unescaped($self, w0)\n--\n\n"
     "-> int: the id in `dict` of the word whose escaped form is the byte string w0\n"
     "(decoded with `codec` when one is set); added while the dictionary grows."},
    {nullptr, nullptr, 0, nullptr}};

const Field dict_field{offsetof(FComboObject, dict), &StringAlphabet_type_ref, true};
const Field dict_aux_field{offsetof(FComboObject, dict_aux), &StringAlphabet_type_ref, true};
const Field escaped_words_field{offsetof(FComboObject, escaped_words)};
const Field codec_field{offsetof(FComboObject, codec)};
const Field encoding_field{offsetof(FComboObject, encoding)};
const Field scale_field{offsetof(FComboObject, scale)};
const Field norm_p_field{offsetof(FComboObject, norm_p)};

PyGetSetDef fc_getset[] = {
    {"dict", get_object, set_typed_object, "the StringAlphabet of combined feature strings (gives the indices)",
     closure(dict_field)},
    {"dict_aux", get_object, set_typed_object, "auxiliary StringAlphabet of plain feature names, or None",
     closure(dict_aux_field)},
    {"escaped_words", get_object, set_object, "cache of the escaped forms of dict's words, by id",
     closure(escaped_words_field)},
    {"codec", get_object, set_object, "None, or a codec whose decode() unescaped() applies", closure(codec_field)},
    {"encoding", get_object, set_object, "name of the text encoding: 'UTF-8' or 'ISO-8859-15'",
     closure(encoding_field)},
    {"scale", get_double, set_double, "weight of the second and later parts of a Multipart", closure(scale_field)},
    {"norm_p", get_double, set_double, "exponent of the per-part p-norm normalisation (0.0: none)",
     closure(norm_p_field)},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

}  // namespace

PyTypeObject* StringAlphabet_type_ref = nullptr;
PyTypeObject FCombo_Type = {PyVarObject_HEAD_INIT(nullptr, 0)};

bool ready_fcombo(std::initializer_list<const PyMethodDef*> added_methods) {
    StringAlphabet_type_ref = alphabet->StringAlphabet;
    // The method tables of FCombo's families, merged into one.
    std::vector<const PyMethodDef*> families = {fc_base_methods, fc_transform_methods, fc_munge_methods,
                                                fc_persist_methods, fc_svmltk_methods};
    families.insert(families.end(), added_methods.begin(), added_methods.end());
    static std::vector<PyMethodDef> methods;
    methods.clear();
    for (const PyMethodDef* table : families)
        for (const PyMethodDef* m = table; m->ml_name; ++m) methods.push_back(*m);
    methods.push_back({nullptr, nullptr, 0, nullptr});
    PyTypeObject& t = FCombo_Type;
    t.tp_name = "quorvex.feature.FCombo";
    t.tp_basicsize = sizeof(FComboObject);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC;
    t.tp_doc =
        "FCombo(n, mydict=None, bias_item=None, want_utf8=True, scale=1.0, norm_p=0.0)\n--\n\n"
        "The feature combiner. fc(flist, labels=None) turns a FeatureList, a plain list of features\n"
        "or a Multipart into a SparseVectorD over the StringAlphabet `dict`: every feature and every\n"
        "conjunction of up to n features, named by joining the sorted names with '^' and weighted by\n"
        "the product of their values. With labels, every key is prefixed by each label ('L^a^b').\n"
        "bias_item names a bias word added to every vector ('L^word' per label). Later parts of a\n"
        "Multipart are added uncombined with weight scale (divided by their norm_p-norm when\n"
        "norm_p is not 0). Unknown keys of a frozen dictionary are skipped.";
    t.tp_new = fc_new;
    t.tp_repr = fcombo_repr;
    t.tp_init = fc_init;
    t.tp_dealloc = fc_dealloc;
    t.tp_traverse = fc_traverse;
    t.tp_clear = fc_clear;
    t.tp_call = fc_call;
    t.tp_methods = methods.data();
    t.tp_getset = fc_getset;
    return PyType_Ready(&t) == 0;
}

}  // namespace qv
