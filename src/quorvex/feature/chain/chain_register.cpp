// Filling a growing dictionary with the keys of a chain model:
// ChainModel.register_keys, and ChainModel.compile_training, which also
// builds the model and compiles the training sentences from the same single
// lookup of every feature.
//
// The emission keys "label^key" are added grouped by base key, in the
// order the base keys first occur, each group in label order. Every
// label's keys then have ids that grow with the base key's first
// occurrence: the layout with which compiling needs no sorting, and in
// which the weights of one feature's labels lie side by side.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "common/args.h"
#include "common/chunk_threads.h"
#include "common/errors.h"
#include "feature/chain/chain_model.h"

namespace qv {

namespace {

// Which labels each base key gets keys for: one bit per (row, label).
class LabelSets {
public:
    explicit LabelSets(std::size_t labels) : words_((labels + 63) / 64) {}
    void add(std::size_t row, uint32_t label) {
        if ((row + 1) * words_ > bits_.size()) bits_.resize(std::max((row + 1) * words_, 2 * bits_.size()), 0);
        bits_[row * words_ + label / 64] |= uint64_t(1) << (label % 64);
    }
    // The number of (row, label) pairs.
    std::size_t count() const {
        std::size_t n = 0;
        for (uint64_t w : bits_) n += static_cast<std::size_t>(__builtin_popcountll(w));
        return n;
    }
    bool has(std::size_t row, uint32_t label) const {
        const std::size_t at = row * words_ + label / 64;
        return at < bits_.size() && (bits_[at] >> (label % 64) & 1);
    }

private:
    std::size_t words_;
    std::vector<uint64_t> bits_;
};

// The two passes of registration. Pass 1 (add) enumerates the base keys of
// every position, as the combiner does, in a table of its own; pass 2
// (register_emissions) adds "L^k" to the dictionary for every base key k
// and label L that go together. Kept rows let the same sentences be
// compiled afterwards without looking their features up again.
class KeyRegistrar {
public:
    KeyRegistrar(const ChainCore& labels, bool keep_rows)
        : labels_(labels), keep_rows_(keep_rows), seen_(labels.label_bytes.size()) {}
    ~KeyRegistrar() {
        for (SparseAccum<double>& a : accs_) a.release();
    }
    KeyRegistrar(const KeyRegistrar&) = delete;
    KeyRegistrar& operator=(const KeyRegistrar&) = delete;

    bool add(FComboObject* fc, StringAlphabetObject* dict, const SentenceInput& in, const uint32_t* keys,
             const uint32_t* key_start);
    void register_emissions(CPPAlphabet& dict);
    // Every kept sentence, as ChainModel.compile would compile it with the
    // dictionary filled by register_emissions (with its candidates and gold
    // label from `kept`, whose gold labels move to the chains). Sentences
    // compile independently, reading the tables only: on two threads when
    // there is enough to share. No Python object is touched.
    void compile_all(std::vector<SentenceInput>& kept, std::vector<std::unique_ptr<CompiledChain>>& out) const;
    // The rows for a model's emission table (after pass 2, with kept rows).
    KnownRows known_rows() const { return {&bases_, &cells_.start, &cells_.cells}; }

private:
    const ChainCore& labels_;
    bool keep_rows_;
    CPPAlphabet bases_;
    LabelSets seen_;
    Combiner combiner_;
    std::vector<SparseAccum<double>> accs_;
    // Kept rows: sentence i has positions [sent_start_[i], sent_start_[i + 1]),
    // position p the merged (row, value) pairs rows_[pos_start_[p], pos_start_[p + 1]).
    std::vector<std::size_t> sent_start_{0}, pos_start_{0};
    std::vector<AccumEntry<double>> rows_;
    // After pass 2: the (label, id) cells of each row.
    struct RowCells {
        std::vector<uint32_t> start;
        std::vector<EmissionTable::Cell> cells;
        const EmissionTable::Cell* begin(uint32_t r) const { return cells.data() + start[r]; }
        const EmissionTable::Cell* end(uint32_t r) const { return cells.data() + start[r + 1]; }
    } cells_;
    bool monotone_ = true;
    std::vector<RowSpan> spans_;  // after pass 2, when every row's cells are a span

    // Sentence i, with its candidates and their bounds.
    void compile(std::size_t i, const uint32_t* cands, const uint32_t* start, CompiledChain& out,
                 EntrySpreader& spreader) const;
};

bool KeyRegistrar::add(FComboObject* fc, StringAlphabetObject* dict, const SentenceInput& in, const uint32_t* keys,
                       const uint32_t* key_start) {
    QV_TRY
    const std::size_t K = in.flists.size();
    if (accs_.size() < K) accs_.resize(K, SparseAccum<double>{});
    // With a bias, fc(flist, labels=[L]) holds "L^<bias word>" first.
    int64_t bias = -1;
    if (fc->bias_item >= 0 && static_cast<std::size_t>(fc->bias_item) < dict->map.size())
        bias = bases_.lookup(dict->map.word(fc->bias_item), dict->map.word_len(fc->bias_item));
    combiner_.begin(&bases_, dict->use_utf8, true);
    bool ok = true;
    for (std::size_t k = 0; k < K && ok; ++k) {
        accs_[k].clear();
        if (bias >= 0) accs_[k].add(static_cast<coordinate_t>(bias), 1.0);
        combiner_.target(&accs_[k]);
        ok = combiner_.load_part(reinterpret_cast<FeatureListObject*>(in.flists[k].get())) &&
             combiner_.combine(fc->n, false, nullptr, 0, 1.0);
    }
    ok = ok && combiner_.flush();
    combiner_.target(nullptr);
    combiner_.end();
    if (!ok) return false;
    for (std::size_t k = 0; k < K; ++k) {
        SparseAccum<double>& a = accs_[k];
        a.compact();
        for (std::size_t e = 0; e < a.len; ++e)
            for (uint32_t j = key_start[k]; j < key_start[k + 1]; ++j) seen_.add(a.entries[e].idx, keys[j]);
        if (keep_rows_) {
            rows_.insert(rows_.end(), a.entries, a.entries + a.len);
            pos_start_.push_back(rows_.size());
        }
    }
    if (keep_rows_) sent_start_.push_back(pos_start_.size() - 1);
    return true;
    QV_CATCH(false)
}

void KeyRegistrar::register_emissions(CPPAlphabet& dict) {
    const std::size_t nrows = bases_.size(), nlabels = labels_.label_bytes.size();
    dict.reserve(dict.size() + seen_.count());
    std::vector<int64_t> last(nlabels, -1);
    cells_.start.assign(1, 0);
    // The keys go in blocks: every key of a block is written and hashed,
    // and its slot in the (large) dictionary prefetched, before the block
    // is looked up in order, so that the cache misses overlap.
    const std::size_t kBlock = 64;
    struct Key {
        std::size_t off, len;
        uint64_t hash;
        uint32_t row, label;
    };
    std::vector<Key> block;
    std::string bytes;
    auto flush = [&] {
        for (Key& k : block) {
            k.hash = hash_bytes(bytes.data() + k.off, k.len);
            dict.prefetch(k.hash);
        }
        for (const Key& k : block) {
            const int32_t id = dict.lookup(bytes.data() + k.off, k.len, k.hash);
            if (keep_rows_) {
                while (cells_.start.size() <= k.row) cells_.start.push_back(static_cast<uint32_t>(cells_.cells.size()));
                cells_.cells.push_back({k.label, static_cast<coordinate_t>(id)});
                monotone_ = monotone_ && id > last[k.label];
                last[k.label] = id;
            }
        }
        block.clear();
        bytes.clear();
    };
    for (std::size_t r = 0; r < nrows; ++r) {
        const char* base = bases_.word(static_cast<int32_t>(r));
        const std::size_t n = bases_.word_len(static_cast<int32_t>(r));
        for (uint32_t l = 0; l < nlabels; ++l) {
            if (!seen_.has(r, l)) continue;
            const std::string& label = labels_.label_bytes[l];
            block.push_back({bytes.size(), label.size() + 1 + n, 0, static_cast<uint32_t>(r), l});
            bytes.append(label);
            bytes.push_back('^');
            bytes.append(base, n);
            if (block.size() == kBlock) flush();
        }
    }
    flush();
    if (keep_rows_) {
        while (cells_.start.size() <= nrows) cells_.start.push_back(static_cast<uint32_t>(cells_.cells.size()));
        if (nlabels <= 64) make_row_spans(cells_, nrows, spans_);
    }
}

void KeyRegistrar::compile_all(std::vector<SentenceInput>& kept,
                               std::vector<std::unique_ptr<CompiledChain>>& out) const {
    // Below this many kept entries in all, a second thread costs more to
    // start than it saves.
    const std::size_t kEntriesForThreads = std::size_t(1) << 16;
    const std::size_t count = kept.size();
    out.resize(count);
    const unsigned threads = rows_.size() >= kEntriesForThreads ? available_threads() : 1;
    run_chunks(threads, count, std::max<std::size_t>(1, count / 64),
               [&](std::atomic<std::size_t>& next, std::size_t chunk) {
        EntrySpreader spreader(labels_.label_bytes.size());
        std::vector<uint32_t> cands, start;
        CompiledChain scratch;  // grows once; each sentence is then copied at its exact size
        for (std::size_t b; (b = next.fetch_add(chunk)) < count;)
            for (std::size_t i = b; i < std::min(b + chunk, count); ++i) {
                kept[i].candidates_with_gold(cands, start);
                compile(i, cands.data(), start.data(), scratch, spreader);
                scratch.gold.swap(kept[i].gold);
                out[i].reset(new CompiledChain(scratch));
            }
    });
}

void KeyRegistrar::compile(std::size_t i, const uint32_t* cands, const uint32_t* start, CompiledChain& out,
                           EntrySpreader& spreader) const {
    out.clear();
    // The sentence's rows lie all over the span table, or two dependent
    // reads away in the cell table (start, cells): every row's loads are
    // started first.
    const AccumEntry<double>* first = rows_.data() + pos_start_[sent_start_[i]];
    const AccumEntry<double>* last = rows_.data() + pos_start_[sent_start_[i + 1]];
    if (!spans_.empty()) {
        for (const AccumEntry<double>* e = first; e != last; ++e) prefetch_line(&spans_[e->idx]);
    } else {
        for (const AccumEntry<double>* e = first; e != last; ++e) prefetch_line(&cells_.start[e->idx]);
        for (const AccumEntry<double>* e = first; e != last; ++e) prefetch_line(cells_.begin(e->idx));
    }
    for (std::size_t p = sent_start_[i], k = 0; p < sent_start_[i + 1]; ++p, ++k) {
        const AccumEntry<double>* rows = rows_.data() + pos_start_[p];
        const std::size_t nrows = pos_start_[p + 1] - pos_start_[p];
        if (!spans_.empty())
            spreader.add_spans([this](uint32_t r) { return spans_[r]; }, monotone_, rows, nrows, cands + start[k],
                               start[k + 1] - start[k], out);
        else
            spreader.add(cells_, monotone_, rows, nrows, cands + start[k], start[k + 1] - start[k], out);
    }
}

// --- the Python side ---------------------------------------------------------------------

// The combiner's dictionary if it is a growing StringAlphabet, else an error.
StringAlphabetObject* growing_dict(FComboObject* fc, const char* what) {
    PyObject* d = fc->dict;
    if (!d || d == Py_None) {
        raise_no_dict(what);
        return nullptr;
    }
    if (!dict_is_native(d)) {
        PyErr_Format(PyExc_TypeError, "%s needs a combiner whose dictionary is a StringAlphabet", what);
        return nullptr;
    }
    if (!as_alph(d)->map.growing) {
        PyErr_Format(PyExc_ValueError, "%s needs a growing dictionary (fc.dict.growing = True)", what);
        return nullptr;
    }
    return as_alph(d);
}

// The transition keys, and whatever else the combiner makes of them
// (conjunctions with "STOP", the bias), through the combiner itself.
bool register_transitions(FComboObject* fc, PyObject* labels) {
    const Py_ssize_t nl = PyTuple_GET_SIZE(labels);
    for (Py_ssize_t p = -1; p < nl; ++p) {
        PyObject* prev = p < 0 ? Py_None : PyTuple_GET_ITEM(labels, p);
        for (Py_ssize_t l = 0; l < nl; ++l) {
            Ref key(PyUnicode_FromFormat("T%S-%S", prev, PyTuple_GET_ITEM(labels, l)));
            Ref pair(key ? Py_BuildValue("(Od)", key.get(), 1.0) : nullptr);
            Ref one(pair ? Py_BuildValue("[O]", pair.get()) : nullptr);
            Ref two(pair ? Py_BuildValue("[O(sd)]", pair.get(), "STOP", 1.0) : nullptr);
            if (!one || !two) return false;
            Ref v1(fcombo_vectorise(fc, one.get(), nullptr));
            Ref v2(v1 ? fcombo_vectorise(fc, two.get(), nullptr) : nullptr);
            if (!v2) return false;
        }
    }
    Ref empty(PyList_New(0));
    Ref v0(empty ? fcombo_vectorise(fc, empty.get(), nullptr) : nullptr);
    return static_cast<bool>(v0);
}

// Whether a word of dict from id `first` on starts with "<label>^": keys
// that pass 1 did not ask for.
bool has_label_keys(const CPPAlphabet& dict, const ChainCore& labels, std::size_t first = 0) {
    for (std::size_t id = first; id < dict.size(); ++id) {
        const char* w = dict.word(static_cast<int32_t>(id));
        const std::size_t len = dict.word_len(static_cast<int32_t>(id));
        for (const char* caret = static_cast<const char*>(std::memchr(w, '^', len)); caret;
             caret = static_cast<const char*>(std::memchr(caret + 1, '^', len - (caret + 1 - w))))
            if (labels.label_ids.find(w, static_cast<std::size_t>(caret - w)) >= 0) return true;
    }
    return false;
}

// The arguments the two functions share, read and checked.
struct Registration {
    Ref fc_ref, labels, sentences, candidates, keys, gold;
    ChainCore labels_only;
    FComboObject* fc = nullptr;
    bool keys_gold = false;

    bool read(PyObject* fc_arg, PyObject* labels_arg, PyObject* sentences_arg, PyObject* candidates_arg,
              PyObject* keys_arg, PyObject* gold_arg, const char* what) {
        if (!check_arg_type(fc_arg, &FCombo_Type, "fc", false)) return false;
        fc_ref = Ref::borrow(fc_arg);
        fc = as_fc(fc_arg);
        labels = Ref(label_tuple(labels_arg));
        if (!labels) return false;
        // keys="gold": each position's features get keys for its gold label
        // alone (with every label a candidate, what a tagger wants).
        if (keys_arg && PyUnicode_Check(keys_arg) && PyUnicode_CompareWithASCIIString(keys_arg, "gold") == 0) {
            keys_gold = true;
            keys_arg = nullptr;
        }
        for (PyObject* o : {sentences_arg, candidates_arg, keys_arg, gold_arg})
            if (o && (PyUnicode_Check(o) || PyBytes_Check(o))) {
                PyErr_SetString(PyExc_TypeError,
                                "sentences, candidates, keys and gold are sequences, not a string (but keys may be "
                                "\"gold\")");
                return false;
            }
        sentences = Ref(PySequence_Tuple(sentences_arg));
        if (!sentences) return false;
        const Py_ssize_t count = PyTuple_GET_SIZE(sentences.get());
        auto per_sentence = [count](PyObject* arg, const char* name, Ref& out) {
            if (!arg || arg == Py_None) {
                out = Ref::borrow(Py_None);
                return true;
            }
            out = Ref(PySequence_Tuple(arg));
            if (!out) return false;
            if (PyTuple_GET_SIZE(out.get()) != count) {
                PyErr_Format(PyExc_ValueError, "%s has %zd sentences, sentences %zd", name, PyTuple_GET_SIZE(out.get()),
                             count);
                return false;
            }
            return true;
        };
        if (!per_sentence(candidates_arg, "candidates", candidates) || !per_sentence(keys_arg, "keys", keys) ||
            !per_sentence(gold_arg, "gold", gold))
            return false;
        StringAlphabetObject* dict = growing_dict(fc, what);
        if (!dict) return false;
        labels_only.use_utf8 = dict->use_utf8;
        return init_labels(labels_only, labels.get());
    }
    PyObject* item(const Ref& seq, Py_ssize_t i) const {
        return seq.get() == Py_None ? Py_None : PyTuple_GET_ITEM(seq.get(), i);
    }
};

// Pass 1 over every sentence; keys default to the candidates (plus gold).
bool first_pass(Registration& r, KeyRegistrar& reg, const char* what, std::vector<SentenceInput>* kept) {
    const Py_ssize_t count = PyTuple_GET_SIZE(r.sentences.get());
    SentenceInput in;
    std::vector<uint32_t> keys, key_start;
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (!in.read(&r.labels_only, PyTuple_GET_ITEM(r.sentences.get(), i), r.item(r.candidates, i),
                     r.item(r.gold, i)))
            return false;
        if (r.keys_gold) {
            QV_TRY
            keys.assign(in.gold.begin(), in.gold.end());
            key_start.resize(keys.size() + 1);
            for (std::size_t k = 0; k < key_start.size(); ++k) key_start[k] = static_cast<uint32_t>(k);
            QV_CATCH(false)
        } else if (r.keys.get() != Py_None) {
            if (!read_label_lists(&r.labels_only, PyTuple_GET_ITEM(r.keys.get(), i), in.flists.size(), "keys", keys,
                                  key_start))
                return false;
        } else {
            QV_TRY in.candidates_with_gold(keys, key_start);
            QV_CATCH(false)
        }
        // Reading may have run Python code that changed the combiner.
        StringAlphabetObject* dict = growing_dict(r.fc, what);
        if (!dict || !reg.add(r.fc, dict, in, keys.data(), key_start.data())) return false;
        if (kept) {
            QV_TRY
            kept->emplace_back();
            kept->back().cands.swap(in.cands);
            kept->back().cand_start.swap(in.cand_start);
            kept->back().gold.swap(in.gold);
            kept->back().flists.resize(in.flists.size());  // positions only; the features are not needed again
            QV_CATCH(false)
        }
    }
    return true;
}

PyObject* cm_register_keys(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"fc", "labels", "sentences", "candidates", nullptr};
    static const ArgSpec spec{"register_keys", names, 0, 3};
    PyObject* a[4];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    Registration r;
    if (!r.read(a[0], a[1], a[2], a[3], nullptr, nullptr, "register_keys")) return nullptr;
    std::unique_ptr<KeyRegistrar> reg;
    QV_TRY reg.reset(new KeyRegistrar(r.labels_only, false));
    QV_CATCH(nullptr)
    if (!first_pass(r, *reg, "register_keys", nullptr)) return nullptr;
    StringAlphabetObject* dict = growing_dict(r.fc, "register_keys");
    if (!dict) return nullptr;
    QV_TRY reg->register_emissions(dict->map);
    QV_CATCH(nullptr)
    if (!register_transitions(r.fc, r.labels.get()) || !(dict = growing_dict(r.fc, "register_keys"))) return nullptr;
    dict->map.growing = false;
    return PyLong_FromSize_t(dict->map.size());
}

PyObject* cm_compile_training(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"fc", "labels", "sentences", "gold", "candidates", "keys", nullptr};
    static const ArgSpec spec{"compile_training", names, 0, 4};
    PyObject* a[6];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (a[3] == Py_None) {
        PyErr_SetString(PyExc_TypeError, "compile_training needs the gold labels of the sentences");
        return nullptr;
    }
    Registration r;
    if (!r.read(a[0], a[1], a[2], a[4], a[5], a[3], "compile_training")) return nullptr;
    // Thousands of new objects and no cycles among them: the cyclic collector
    // would only walk every live object again and again.
    CollectorPause pause;
    StringAlphabetObject* dict = growing_dict(r.fc, "compile_training");
    if (!dict) return nullptr;
    // Keys that the dictionary already holds and pass 1 did not ask for
    // would be missed by compiling from the kept rows: then compile anew.
    // So would keys that read as more than one (label, base key) pair,
    // which only a label holding a '^' makes possible ("A^f" + "^g" is also
    // "A" + "^f^g").
    bool from_rows = !has_label_keys(dict->map, r.labels_only);
    for (const std::string& label : r.labels_only.label_bytes)
        from_rows = from_rows && label.find('^') == std::string::npos;
    std::unique_ptr<KeyRegistrar> reg;
    std::vector<SentenceInput> kept;
    QV_TRY reg.reset(new KeyRegistrar(r.labels_only, from_rows));
    QV_CATCH(nullptr)
    if (!first_pass(r, *reg, "compile_training", from_rows ? &kept : nullptr)) return nullptr;
    if (!(dict = growing_dict(r.fc, "compile_training"))) return nullptr;
    QV_TRY reg->register_emissions(dict->map);
    QV_CATCH(nullptr)
    const std::size_t emission_keys_end = dict->map.size();
    if (!register_transitions(r.fc, r.labels.get()) || !(dict = growing_dict(r.fc, "compile_training"))) return nullptr;
    dict->map.growing = false;
    // The model takes its emission table from the kept rows unless the keys
    // added since hold label keys of their own (a label named like a
    // transition key's part).
    Ref model(ChainModel_Type.tp_new(&ChainModel_Type, nullptr, nullptr));
    if (!model) return nullptr;
    const KnownRows rows = reg->known_rows();
    const bool rows_complete = from_rows && !has_label_keys(dict->map, r.labels_only, emission_keys_end);
    if (!init_chain_model(as_chain(model.get()), r.fc_ref.get(), r.labels.get(), rows_complete ? &rows : nullptr))
        return nullptr;
    const Py_ssize_t count = PyTuple_GET_SIZE(r.sentences.get());
    Ref compiled(PyList_New(count));
    if (!compiled) return nullptr;
    if (from_rows) {
        std::vector<std::unique_ptr<CompiledChain>> chains;
        QV_TRY reg->compile_all(kept, chains);
        QV_CATCH(nullptr)
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* cs = new_compiled_sentence(model.get(), chains[i].release());
            if (!cs) return nullptr;
            PyList_SET_ITEM(compiled.get(), i, cs);
        }
    } else {
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* cs = PyObject_CallMethod(model.get(), "compile", "OOO", PyTuple_GET_ITEM(r.sentences.get(), i),
                                               r.item(r.candidates, i), r.item(r.gold, i));
            if (!cs) return nullptr;
            PyList_SET_ITEM(compiled.get(), i, cs);
        }
    }
    return PyTuple_Pack(2, model.get(), compiled.get());
}

}  // namespace

PyMethodDef chain_register_methods[] = {
    {"register_keys", reinterpret_cast<PyCFunction>(cm_register_keys), METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "register_keys(fc, labels, sentences, candidates=None)\n--\n\n"
     "-> int\n\n"
     "Adds to fc's growing dictionary every key a ChainModel(fc, labels) needs for these training\n"
     "sentences, then freezes the dictionary and returns its size. sentences: sequences of\n"
     "FeatureLists; candidates: per sentence, one sequence of labels per position (None: every\n"
     "label everywhere). For each feature key k of a position and each of its labels L the key\n"
     "'L^k' is added, grouped by k in the order the keys first occur (so that compiling needs no\n"
     "sorting); then the transitions 'T<previous>-<label>' for every pair, previous None included,\n"
     "and 'STOP', through fc."},
    {"compile_training", reinterpret_cast<PyCFunction>(cm_compile_training),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "compile_training(fc, labels, sentences, gold, candidates=None, keys=None)\n--\n\n"
     "-> (model, compiled)\n\n"
     "register_keys(fc, labels, sentences, keys), then model = ChainModel(fc, labels) and\n"
     "model.compile(s, c, g) for every training sentence, looking every feature up only once.\n"
     "gold: per sentence one label per position; candidates: per sentence one sequence of labels\n"
     "per position (None: every label); keys: per sentence, the labels each position's features\n"
     "get keys for (default: its candidates and its gold label), or \"gold\": its gold label alone."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
