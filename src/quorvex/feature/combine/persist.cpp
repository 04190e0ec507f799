// Persistence of FCombo: saving to and restoring from a caller-supplied
// storage object, pickling, swapping the dictionary, and loading a
// dictionary with its weights from a text weight file.
//
// Storage protocol: d['opts'] = text and d['opts'] for one text item;
// d.writer(name) / d.reader(name) give binary file objects for a named
// stream. A combiner is saved as
//   'opts'  JSON [n, bias word or null, encoding]
//   'alph'  the words of `dict`, in the StringAlphabet.tofile_utf8 format,
// the words written before the options.
#include <cstring>
#include <string>
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "common/numpy_handles.h"
#include "cxx_gram.h"
#include "feature/combine/fcombo.h"
#include "hash_bytes.h"

namespace qv {

namespace {

PyObject* import_json() { return PyImport_ImportModule("simplejson"); }

// The word with id `id` of an alphabet, as the alphabet returns it (text
// for a StringAlphabet); IndexError for an id it does not hold.
PyObject* word_of(PyObject* dict, int32_t id) {
    const AlphabetOps* ops = reinterpret_cast<AbstractAlphabetObject*>(dict)->ops;
    Py_ssize_t size = ops->size(dict);
    if (size < 0) return nullptr;
    if (id < 0 || id >= size) {
        PyErr_Format(PyExc_IndexError, "bias id %d is not in the dictionary (%zd words)", id, size);
        return nullptr;
    }
    return ops->get_sym(dict, id);
}

// The encoding serialize saves: the combiner's `encoding`, unless the
// dictionary's words are in the other one (a dictionary swapped in by
// set_dict, mydict or the dict attribute). The restored dictionary takes
// this encoding, and one that cannot hold the saved words could not be
// read back at all.
PyObject* saved_encoding(FComboObject* fc) {
    PyObject* own = fc->encoding ? fc->encoding : Py_None;
    if (!PyObject_TypeCheck(fc->dict, alphabet->StringAlphabet)) return Py_NewRef(own);
    const bool utf8 = reinterpret_cast<StringAlphabetObject*>(fc->dict)->use_utf8 != 0;
    if (PyUnicode_Check(own)) {
        Ref upper(PyObject_CallMethod(own, "upper", nullptr));
        if (!upper) return nullptr;
        if ((PyUnicode_CompareWithASCIIString(upper.get(), "UTF-8") == 0) == utf8) return Py_NewRef(own);
    }
    return PyUnicode_FromString(utf8 ? "UTF-8" : "ISO-8859-15");
}

// obj.name into *out, or *out empty when obj has no such attribute; false
// for any other error of the lookup.
bool optional_attr(PyObject* obj, const char* name, Ref* out) {
    *out = Ref(PyObject_GetAttrString(obj, name));
    if (*out || !PyErr_ExceptionMatches(PyExc_AttributeError)) return static_cast<bool>(*out);
    PyErr_Clear();
    return true;
}

// A new dictionary replaces `dict`: the escaped-word cache, filled from
// the old one, starts afresh. Consumes new_dict.
bool replace_dict(FComboObject* fc, PyObject* new_dict, int32_t bias) {
    Ref cache;
    if (new_dict != fc->dict) {
        cache = Ref(PyList_New(0));
        if (!cache) {
            Py_DECREF(new_dict);
            return false;
        }
    }
    fc->bias_item = bias;
    set_field(fc->dict, new_dict);
    if (cache) set_field(fc->escaped_words, cache.release());
    return true;
}

// The id in new_dict of the current bias word (the bias id unchanged when
// there is none).
bool remap_bias(FComboObject* fc, PyObject* new_dict, int32_t* out) {
    *out = fc->bias_item;
    if (fc->bias_item < 0) return true;
    if (!fc->dict || fc->dict == Py_None) {
        raise_no_dict("re-mapping the bias word");
        return false;
    }
    Ref word(word_of(fc->dict, fc->bias_item));
    if (!word) return false;
    Ref id(PyObject_GetItem(new_dict, word.get()));
    return id && to_int32(id.get(), out);
}

// --- serialize / deserialize -----------------------------------------------------

PyObject* fc_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"d", nullptr};
    static const ArgSpec spec{"serialize", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    FComboObject* fc = as_fc(self);
    if (!fc->dict || fc->dict == Py_None) return raise_no_dict("serialize");
    Ref dict = Ref::borrow(fc->dict);
    // The bias word as text in the dictionary's own encoding, so that the
    // restored combiner (same encoding) finds the same bytes again.
    Ref bias;
    if (fc->bias_item < 0) {
        bias = Ref::borrow(Py_None);
    } else {
        bias = Ref(word_of(dict.get(), fc->bias_item));
        if (!bias) return nullptr;
    }
    Ref encoding(saved_encoding(fc));
    if (!encoding) return nullptr;
    Ref opts(Py_BuildValue("[iOO]", fc->n, bias.get(), encoding.get()));
    Ref json(import_json());
    if (!opts || !json) return nullptr;
    Ref text(PyObject_CallMethod(json.get(), "dumps", "O", opts.get()));
    if (!text) return nullptr;
    // A d that cannot take the options is refused before anything is written.
    const PyTypeObject* t = Py_TYPE(a[0]);
    if (!(t->tp_as_mapping && t->tp_as_mapping->mp_ass_subscript) &&
        !(t->tp_as_sequence && t->tp_as_sequence->sq_ass_item)) {
        PyErr_Format(PyExc_TypeError, "'%.200s' object does not support item assignment", t->tp_name);
        return nullptr;
    }
    // The words are written first and the options last. A writer that can
    // be abandoned (one with abort(), as DirStorage's) is committed by
    // close() only once the options are set, and abandoned when anything
    // before fails: a failed save then leaves an earlier one whole, unless
    // the commit itself (its sync or rename) fails after the options were
    // set. Other writers are flushed and dropped.
    Ref writer(PyObject_CallMethod(a[0], "writer", "s", "alph"));
    if (!writer) return nullptr;
    Ref abort;
    if (!optional_attr(writer.get(), "abort", &abort)) return nullptr;
    Ref r(PyObject_CallMethod(dict.get(), "tofile_utf8", "O", writer.get()));
    // Hand the bytes on now, whoever else holds the stream.
    Ref flush;
    if (r && !optional_attr(writer.get(), "flush", &flush)) r = Ref();
    if (r && flush) r = Ref(PyObject_CallNoArgs(flush.get()));
    Ref key(r ? PyUnicode_FromString("opts") : nullptr);
    if (!key || PyObject_SetItem(a[0], key.get(), text.get()) < 0) {
        if (abort) {
            PendingError keep;
            Ref aborted(PyObject_CallNoArgs(abort.get()));
            if (!aborted) PyErr_Clear();
        }
        return nullptr;
    }
    if (abort && !Ref(PyObject_CallMethod(writer.get(), "close", nullptr))) return nullptr;
    return PyUnicode_FromString("FCombo");
}

PyObject* deserialize_fcombo(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"d", nullptr};
    static const ArgSpec spec{"deserialize_fcombo", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    Ref key(PyUnicode_FromString("opts"));
    if (!key) return nullptr;
    Ref text(PyObject_GetItem(a[0], key.get()));
    Ref json(text ? import_json() : nullptr);
    if (!json) return nullptr;
    Ref opts(PyObject_CallMethod(json.get(), "loads", "O", text.get()));
    if (!opts) return nullptr;
    Ref item[3];
    for (int i = 0; i < 3; ++i) {
        Ref idx(PyLong_FromLong(i));
        if (!idx) return nullptr;
        item[i] = Ref(PyObject_GetItem(opts.get(), idx.get()));
        if (!item[i]) return nullptr;
    }
    Ref upper(PyObject_CallMethod(item[2].get(), "upper", nullptr));
    Ref utf8_name(PyUnicode_FromString("UTF-8"));
    if (!upper || !utf8_name) return nullptr;
    int utf8 = PyObject_RichCompareBool(upper.get(), utf8_name.get(), Py_EQ);
    if (utf8 < 0) return nullptr;
    Ref ctor_args(PyTuple_Pack(1, item[0].get()));
    Ref kwargs(Py_BuildValue("{sOsO}", "bias_item", item[1].get(), "want_utf8", utf8 ? Py_True : Py_False));
    if (!ctor_args || !kwargs) return nullptr;
    Ref fc(PyObject_Call(reinterpret_cast<PyObject*>(&FCombo_Type), ctor_args.get(), kwargs.get()));
    if (!fc) return nullptr;
    Ref reader(PyObject_CallMethod(a[0], "reader", "s", "alph"));
    if (!reader) return nullptr;
    Ref dict = Ref::borrow(as_fc(fc.get())->dict);
    Ref r(PyObject_CallMethod(dict.get(), "fromfile_utf8", "O", reader.get()));
    if (!r) return nullptr;
    // Reading replaced the dictionary's words by the saved ones: the bias
    // word the constructor added is now wherever it was saved.
    if (item[1].get() != Py_None) {
        Ref id(PyObject_GetItem(dict.get(), item[1].get()));
        int32_t bias;
        if (!id || !to_int32(id.get(), &bias)) return nullptr;
        as_fc(fc.get())->bias_item = bias;
    }
    return fc.release();
}

// --- pickling ---------------------------------------------------------------------------

// (type(self), (n, dict), (bias_item, scale, norm_p, encoding, dict_aux,
// codec)). The dictionary pickles with its words and its frozen flag; the
// escaped-word cache is rebuilt on use. Pickles of earlier versions carry
// the state None and restore as FCombo(n, dict).
PyObject* fc_reduce(PyObject* self, PyObject*) {
    FComboObject* fc = as_fc(self);
    auto field = [](PyObject* o) { return o ? o : Py_None; };
    return Py_BuildValue("(O(iO)(iddOOO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), fc->n, field(fc->dict),
                         fc->bias_item, fc->scale, fc->norm_p, field(fc->encoding), field(fc->dict_aux),
                         field(fc->codec));
}

PyObject* fc_setstate(PyObject* self, PyObject* state) {
    if (state == Py_None) Py_RETURN_NONE;
    PyObject *encoding, *dict_aux, *codec;
    int bias;
    double scale, norm_p;
    if (!PyTuple_Check(state) ||
        !PyArg_ParseTuple(state, "iddOOO", &bias, &scale, &norm_p, &encoding, &dict_aux, &codec)) {
        if (!PyErr_Occurred() || PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            PyErr_SetString(PyExc_TypeError,
                            "FCombo state must be a (bias_item, scale, norm_p, encoding, dict_aux, codec) tuple");
        }
        return nullptr;
    }
    if (bias < -1) {
        PyErr_Format(PyExc_ValueError, "FCombo state: bias_item %d is not an id", bias);
        return nullptr;
    }
    if (!check_convert(encoding, &PyUnicode_Type, false) || !check_convert(dict_aux, alphabet->StringAlphabet, true))
        return nullptr;
    FComboObject* fc = as_fc(self);
    fc->bias_item = bias;
    fc->scale = scale;
    fc->norm_p = norm_p;
    Py_INCREF(encoding);
    set_field(fc->encoding, encoding);
    Py_INCREF(dict_aux);
    set_field(fc->dict_aux, dict_aux);
    Py_INCREF(codec);
    set_field(fc->codec, codec);
    Py_RETURN_NONE;
}

// --- set_dict ----------------------------------------------------------------------------

PyObject* fc_set_dict(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"new_dict", nullptr};
    static const ArgSpec spec{"set_dict", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    FComboObject* fc = as_fc(self);
    if (!check_convert(a[0], alphabet->StringAlphabet, true)) return nullptr;
    int32_t bias;
    if (!remap_bias(fc, a[0], &bias)) return nullptr;
    Py_INCREF(a[0]);
    if (!replace_dict(fc, a[0], bias)) return nullptr;
    Py_RETURN_NONE;
}

// --- load_weights ------------------------------------------------------------------------

inline bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

// The first two white-space separated fields of a line.
int split_two(const char* p, std::size_t n, const char** f, std::size_t* len) {
    int found = 0;
    std::size_t i = 0;
    while (found < 2) {
        while (i < n && is_space(p[i])) ++i;
        if (i == n) break;
        std::size_t start = i;
        while (i < n && !is_space(p[i])) ++i;
        f[found] = p + start;
        len[found] = i - start;
        ++found;
    }
    return found;
}

// numpy.array of the weights, float64 (new reference).
PyObject* weights_array(const std::vector<double>& w) {
    PyObject* empty = numpy_handle(Numpy::empty);
    Ref arr(empty ? PyObject_CallFunction(empty, "ns", static_cast<Py_ssize_t>(w.size()), "d") : nullptr);
    if (!arr) return nullptr;
    if (!w.empty()) {
        Py_buffer b;
        if (PyObject_GetBuffer(arr.get(), &b, PyBUF_CONTIG) < 0) return nullptr;
        std::memcpy(b.buf, w.data(), w.size() * sizeof(double));
        PyBuffer_Release(&b);
    }
    return arr.release();
}

PyObject* fc_load_weights(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"f", nullptr};
    static const ArgSpec spec{"load_weights", names, 0, 1};
    PyObject* a[1];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    FComboObject* fc = as_fc(self);
    Ref fresh(PyObject_CallNoArgs(reinterpret_cast<PyObject*>(alphabet->StringAlphabet)));
    if (!fresh) return nullptr;
    CPPAlphabet& map = as_alph(fresh.get())->map;
    std::vector<double> weights;
    std::string word;
    Ref it(PyObject_GetIter(a[0]));
    if (!it) return nullptr;
    Py_ssize_t line_no = 0;
    QV_TRY
    while (Ref line{PyIter_Next(it.get())}) {
        ++line_no;
        const char* p;
        Py_ssize_t n;
        if (PyBytes_Check(line.get())) {
            p = PyBytes_AS_STRING(line.get());
            n = PyBytes_GET_SIZE(line.get());
        } else if (PyByteArray_Check(line.get())) {
            p = PyByteArray_AS_STRING(line.get());
            n = PyByteArray_GET_SIZE(line.get());
        } else {
            PyErr_Format(PyExc_TypeError,
                         "load_weights needs a file opened in binary mode: line %zd is %.200s, not bytes", line_no,
                         Py_TYPE(line.get())->tp_name);
            return nullptr;
        }
        const char* field[2];
        std::size_t flen[2];
        if (split_two(p, static_cast<std::size_t>(n), field, flen) < 2) {
            PyErr_Format(PyExc_IndexError, "load_weights: line %zd has fewer than two fields", line_no);
            return nullptr;
        }
        word.clear();
        unescape_amis_append(field[0], flen[0], word);
        uint64_t h = hash_bytes(word.data(), word.size());
        int32_t seen = map.find(word.data(), word.size(), h);
        if (seen >= 0) {
            // The weights are indexed by line, the words by first sighting:
            // a repeated name would shift every later id off its weight.
            Ref w(PyBytes_FromStringAndSize(word.data(), static_cast<Py_ssize_t>(word.size())));
            if (w)
                PyErr_Format(PyExc_ValueError, "load_weights: line %zd repeats the feature %R of line %d", line_no,
                             w.get(), seen + 1);
            return nullptr;
        }
        map.insert_new(word.data(), word.size(), h);
        Ref num(PyBytes_FromStringAndSize(field[1], static_cast<Py_ssize_t>(flen[1])));
        Ref value(num ? PyFloat_FromString(num.get()) : nullptr);
        if (!value) return nullptr;
        weights.push_back(PyFloat_AS_DOUBLE(value.get()));
    }
    QV_CATCH(nullptr)
    if (PyErr_Occurred()) return nullptr;
    map.growing = false;
    int32_t bias;
    if (!remap_bias(fc, fresh.get(), &bias)) return nullptr;
    Ref result(weights_array(weights));
    if (!result) return nullptr;
    if (!replace_dict(fc, fresh.release(), bias)) return nullptr;
    return result.release();
}

}  // namespace

PyMethodDef fc_persist_methods[] = {
    {"serialize", reinterpret_cast<PyCFunction>(fc_serialize), METH_FASTCALL | METH_KEYWORDS,
     "serialize($self, d)\n--\n\n"
     "-> 'FCombo': saves the combiner into the storage object d.\n\n"
     "The stream d.writer('alph') receives the words of `dict` (StringAlphabet.tofile_utf8), then\n"
     "d['opts'] the JSON text [n, bias word or null, encoding]. A writer with an abort() method\n"
     "(DirStorage's) is closed once both are written and abandoned if anything before fails, so a\n"
     "failed save leaves an earlier one in d as it was; others are flushed. The encoding is `encoding`,\n"
     "or the dictionary's own where the two disagree. scale, norm_p, dict_aux, codec and the\n"
     "escaped-word cache are not saved, nor is the dictionary's frozen flag. quorvex.storage.DirStorage\n"
     "is such a storage object; deserialize_fcombo(d) restores the combiner."},
    {"__reduce__", fc_reduce, METH_NOARGS,
     "__reduce__($self, /)\n--\n\n"
     "Pickles n, the dictionary (its words and frozen flag), the bias feature's id, scale, norm_p,\n"
     "encoding, dict_aux and codec: the restored combiner builds the same vectors."},
    {"__setstate__", fc_setstate, METH_O,
     "__setstate__($self, state, /)\n--\n\n"
     "state: (bias_item, scale, norm_p, encoding, dict_aux, codec); None (the pickles of\n"
     "earlier versions) keeps the constructor's values."},
    {"set_dict", reinterpret_cast<PyCFunction>(fc_set_dict), METH_FASTCALL | METH_KEYWORDS,
     "set_dict($self, new_dict)\n--\n\n"
     "Replaces `dict` by new_dict (a StringAlphabet or None), re-mapping the\n"
     "bias id to the bias word's id in new_dict. A failed lookup (KeyError from a frozen\n"
     "new_dict without the word) leaves the combiner unchanged. The escaped-word cache starts\n"
     "afresh when the dictionary changes."},
    {"load_weights", reinterpret_cast<PyCFunction>(fc_load_weights), METH_FASTCALL | METH_KEYWORDS,
     "load_weights($self, f)\n--\n\n"
     "-> numpy float64 array: reads a text weight file opened in binary mode.\n\n"
     "Each line holds an escaped feature name and its weight separated by white space (further\n"
     "fields are ignored); names must be distinct. `dict` becomes a new frozen StringAlphabet of\n"
     "the names in line order, so word i has weight i. The file is read completely before\n"
     "anything changes: a short line (IndexError), a text-mode file (TypeError), a bad number\n"
     "or a repeated name (ValueError) leave the combiner as it was. A bias word is re-mapped\n"
     "into the new dictionary (KeyError when the file lacks it)."},
    {nullptr, nullptr, 0, nullptr}};

PyMethodDef deserialize_fcombo_def = {
    "deserialize_fcombo", reinterpret_cast<PyCFunction>(deserialize_fcombo), METH_FASTCALL | METH_KEYWORDS,
    "deserialize_fcombo(d)\n--\n\n"
    "-> FCombo: restores a combiner saved by FCombo.serialize(d).\n\n"
    "Word ids and the bias word are those of the saved combiner; scale, norm_p, dict_aux and\n"
    "codec have their defaults."};

}  // namespace qv
