// ChainModel.register_keys: fills a growing dictionary with the keys a
// chain model over some training sentences needs, then freezes it.
//
// The emission keys "label^key" are added grouped by base key, in the
// order the base keys first occur, each group in label order. Every
// label's keys then have ids that grow with the base key's first
// occurrence: the layout with which compiling needs no sorting, and in
// which the weights of one feature's labels lie side by side.
#include <vector>

#include "common/args.h"
#include "common/errors.h"
#include "feature/chain/chain_model.h"

namespace qv {

namespace {

// Which labels each base key was seen with: one bit per (row, label).
class LabelSets {
public:
    explicit LabelSets(std::size_t labels) : words_((labels + 63) / 64) {}
    void add(std::size_t row, uint32_t label) {
        if ((row + 1) * words_ > bits_.size()) bits_.resize(std::max((row + 1) * words_, 2 * bits_.size()), 0);
        bits_[row * words_ + label / 64] |= uint64_t(1) << (label % 64);
    }
    bool has(std::size_t row, uint32_t label) const {
        const std::size_t at = row * words_ + label / 64;
        return at < bits_.size() && (bits_[at] >> (label % 64) & 1);
    }

private:
    std::size_t words_;
    std::vector<uint64_t> bits_;
};

bool add_key(CPPAlphabet& dict, std::string& key, const std::string& label, const char* base, std::size_t n) {
    QV_TRY
    key.assign(label);
    key.push_back('^');
    key.append(base, n);
    dict.lookup(key.data(), key.size());
    QV_CATCH(false)
    return true;
}

PyObject* cm_register_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"fc", "labels", "sentences", "candidates", nullptr};
    static const ArgSpec spec{"register_keys", names, 0, 3};
    PyObject* a[4];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg_type(a[0], &FCombo_Type, "fc", false)) return nullptr;
    Ref fc_ref = Ref::borrow(a[0]);
    FComboObject* fc = as_fc(a[0]);
    Ref labels(label_tuple(a[1]));
    if (!labels) return nullptr;
    PyObject* candidates = a[3] ? a[3] : Py_None;
    if (PyUnicode_Check(a[2]) || PyUnicode_Check(candidates)) {
        PyErr_SetString(PyExc_TypeError, "sentences and candidates are sequences, not a single str");
        return nullptr;
    }
    Ref sentences(PySequence_Tuple(a[2]));
    Ref cands(candidates == Py_None ? Ref::borrow(Py_None) : Ref(PySequence_Tuple(candidates)));
    if (!sentences || !cands) return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(sentences.get());
    if (cands.get() != Py_None && PyTuple_GET_SIZE(cands.get()) != count) {
        PyErr_Format(PyExc_ValueError, "candidates has %zd sentences, sentences %zd", PyTuple_GET_SIZE(cands.get()),
                     count);
        return nullptr;
    }
    auto dict_of = [fc]() -> StringAlphabetObject* {
        PyObject* d = fc->dict;
        if (!d || d == Py_None) {
            raise_no_dict("register_keys");
            return nullptr;
        }
        if (!dict_is_native(d)) {
            PyErr_SetString(PyExc_TypeError, "register_keys needs a combiner whose dictionary is a StringAlphabet");
            return nullptr;
        }
        if (!as_alph(d)->map.growing) {
            PyErr_SetString(PyExc_ValueError, "register_keys needs a growing dictionary (fc.dict.growing = True)");
            return nullptr;
        }
        return as_alph(d);
    };
    StringAlphabetObject* dict = dict_of();
    if (!dict) return nullptr;

    // First pass: the base keys of every position and the labels they go with.
    ChainCore labels_only;
    labels_only.use_utf8 = dict->use_utf8;
    if (!init_labels(labels_only, labels.get())) return nullptr;
    const std::size_t nlabels = labels_only.label_bytes.size();
    CPPAlphabet bases;
    LabelSets seen(nlabels);
    Combiner combiner;
    QV_TRY
    // With a bias, fc(flist, labels=[L]) holds "L^<bias word>" first.
    const bool has_bias = fc->bias_item >= 0 && static_cast<std::size_t>(fc->bias_item) < dict->map.size();
    std::string bias;
    if (has_bias) bias.assign(dict->map.word(fc->bias_item), dict->map.word_len(fc->bias_item));
    for (Py_ssize_t i = 0; i < count; ++i) {
        SentenceInput in;
        PyObject* c = cands.get() == Py_None ? Py_None : PyTuple_GET_ITEM(cands.get(), i);
        if (!in.read(&labels_only, PyTuple_GET_ITEM(sentences.get(), i), c, Py_None)) return nullptr;
        // Reading may have run Python code that changed the combiner.
        dict = dict_of();
        if (!dict) return nullptr;
        for (std::size_t k = 0; k < in.flists.size(); ++k) {
            combiner.begin(&bases, dict->use_utf8);
            if (has_bias)
                combiner.acc.add(static_cast<coordinate_t>(bases.lookup(bias.data(), bias.size())), 1.0);
            auto* fl = reinterpret_cast<FeatureListObject*>(in.flists[k].get());
            const bool ok = combiner.load_part(fl) && combiner.combine(fc->n, false, nullptr, 0, 1.0) && combiner.flush();
            combiner.end();
            if (!ok) return nullptr;
            combiner.acc.compact();
            for (std::size_t e = 0; e < combiner.acc.len; ++e)
                for (uint32_t j = in.cand_start[k]; j < in.cand_start[k + 1]; ++j)
                    seen.add(combiner.acc.entries[e].idx, in.cands[j]);
        }
    }
    // Second pass: the emission keys, grouped by base key.
    std::string key;
    for (std::size_t r = 0; r < bases.size(); ++r) {
        const char* base = bases.word(static_cast<int32_t>(r));
        const std::size_t n = bases.word_len(static_cast<int32_t>(r));
        for (uint32_t l = 0; l < nlabels; ++l)
            if (seen.has(r, l) && !add_key(dict->map, key, labels_only.label_bytes[l], base, n)) return nullptr;
    }
    QV_CATCH(nullptr)

    // The transition keys, and whatever else the combiner makes of them
    // (conjunctions with "STOP", the bias), through the combiner itself.
    const Py_ssize_t nl = PyTuple_GET_SIZE(labels.get());
    for (Py_ssize_t p = -1; p < nl; ++p) {
        PyObject* prev = p < 0 ? Py_None : PyTuple_GET_ITEM(labels.get(), p);
        for (Py_ssize_t l = 0; l < nl; ++l) {
            Ref key_obj(PyUnicode_FromFormat("T%S-%S", prev, PyTuple_GET_ITEM(labels.get(), l)));
            Ref pair(key_obj ? Py_BuildValue("(Od)", key_obj.get(), 1.0) : nullptr);
            Ref one(pair ? Py_BuildValue("[O]", pair.get()) : nullptr);
            Ref two(pair ? Py_BuildValue("[O(sd)]", pair.get(), "STOP", 1.0) : nullptr);
            if (!one || !two) return nullptr;
            Ref v1(fcombo_vectorise(fc, one.get(), nullptr));
            Ref v2(v1 ? fcombo_vectorise(fc, two.get(), nullptr) : nullptr);
            if (!v2) return nullptr;
        }
    }
    Ref empty(PyList_New(0));
    Ref v0(empty ? fcombo_vectorise(fc, empty.get(), nullptr) : nullptr);
    if (!v0) return nullptr;
    dict = dict_of();
    if (!dict) return nullptr;
    dict->map.growing = false;
    return PyLong_FromSize_t(dict->map.size());
}

}  // namespace

PyMethodDef chain_register_methods[] = {
    {"register_keys", reinterpret_cast<PyCFunction>(cm_register_keys), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "register_keys(fc, labels, sentences, candidates=None) -> int\n\n"
     "Adds to fc's growing dictionary every key a ChainModel(fc, labels) needs for these training\n"
     "sentences, then freezes the dictionary and returns its size. sentences: sequences of\n"
     "FeatureLists; candidates: per sentence, one sequence of labels per position (None: every\n"
     "label everywhere). For each feature key k of a position and each of its labels L the key\n"
     "'L^k' is added, grouped by k in the order the keys first occur (so that compiling needs no\n"
     "sorting); then the transitions 'T<previous>-<label>' for every pair, previous None included,\n"
     "and 'STOP', through fc."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
