// ChainModel: a linear-chain model over a frozen FCombo and a label set,
// decoding and training without forests. It reads the combiner's
// dictionary once (emission keys "label^...", transition keys
// "T<previous>-<label>" with None for the start, "STOP"), and then turns a
// sentence's FeatureLists into a CompiledSentence (emission entries per
// candidate label) that Viterbi decoding and the perceptron step use. The
// labels it chooses are those that make_simple_crf + decode_simple_crf
// choose for the same candidates, weights and combiner.
#ifndef QUORVEX_FEATURE_CHAIN_CHAIN_MODEL_H
#define QUORVEX_FEATURE_CHAIN_CHAIN_MODEL_H

#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/buffer_view.h"
#include "common/ref.h"
#include "feature/chain/emission_compiler.h"
#include "feature/chain/viterbi.h"
#include "feature/combine/fcombo.h"

namespace qv {

// What a built model knows, in plain C++.
struct ChainCore {
    EmissionTable table;
    ChainVectors vectors;
    CPPAlphabet label_ids;  // label bytes -> label index
    std::vector<std::string> label_bytes;
    std::unordered_map<PyObject*, uint32_t> label_objects;  // the model's own label objects
    // The combiner as it was when the model was built.
    uint64_t dict_generation = 0;
    int32_t n = 1;
    int32_t bias_item = -1;
    int use_utf8 = 1;
    std::size_t n_features = 0;  // the dictionary's size: the shortest weight array
    // Scores below it never choose a previous state: -1000.0 as in a forest,
    // -inf to keep every path of a long sentence.
    double floor = -1000.0;
    // Scratch of decode and compile, used by one call at a time.
    std::unique_ptr<EmissionCompiler> compiler;
    ViterbiDecoder decoder;
    CompiledChain scratch;
    std::vector<double> scores;
    std::vector<uint32_t> path, labels_tmp;
    bool busy = false;
};

struct ChainModelObject {
    PyObject_HEAD
    PyObject* fc;           // the FCombo (None until __init__)
    PyObject* dict;         // its dictionary at build time
    PyObject* labels;       // tuple of str
    PyObject* transitions;  // tuple of SparseVectorD, indexed as ChainVectors
    ChainCore* core;        // owned; nullptr until __init__
    uint64_t generation;    // counts the builds: compiled sentences of an earlier one are refused
    Py_ssize_t uses;        // calls running on the model (ModelPin); __init__ is refused meanwhile
};

struct CompiledSentenceObject {
    PyObject_HEAD
    PyObject* model;       // the ChainModel that compiled it
    CompiledChain* chain;  // owned
    uint64_t generation;   // the model's generation when it was compiled
};

extern PyTypeObject ChainModel_Type;
extern PyTypeObject CompiledSentence_Type;
bool ready_chain_model();

inline ChainModelObject* as_chain(PyObject* o) { return reinterpret_cast<ChainModelObject*>(o); }
inline CompiledSentenceObject* as_compiled(PyObject* o) { return reinterpret_cast<CompiledSentenceObject*>(o); }

// Rows of an emission table that are known already (see
// EmissionTable::layout), so that a model need not read them from the
// dictionary again.
struct KnownRows {
    const CPPAlphabet* bases;
    const std::vector<uint32_t>* start;
    const std::vector<EmissionTable::Cell>* cells;
};

// ChainModel(fc, labels) on self; with rows, the emission table is laid
// out from them instead of the dictionary. False with a Python error.
bool init_chain_model(ChainModelObject* self, PyObject* fc, PyObject* labels, const KnownRows* rows);

// The model's core, or ValueError when it was never initialised or its
// combiner changed since (dictionary, n or bias).
ChainCore* chain_core(ChainModelObject* self);

// Keeps the model and its core for the length of a call that may run
// Python code (converting input, a learner's methods, a callback): while
// any pin is held, __init__ raises RuntimeError instead of freeing the core
// (and labels and transitions) that the call is using.
class ModelPin {
public:
    explicit ModelPin(ChainModelObject* m) : model_(Ref::borrow(reinterpret_cast<PyObject*>(m))), m_(m) { ++m_->uses; }
    ~ModelPin() { --m_->uses; }
    ModelPin(const ModelPin&) = delete;
    ModelPin& operator=(const ModelPin&) = delete;

private:
    Ref model_;
    ChainModelObject* m_;
};

// Holds the cyclic collector off for a scope that makes many objects but no
// cycles, and restores it on every way out.
struct CollectorPause {
    int was_enabled = PyGC_Disable();
    ~CollectorPause() {
        if (was_enabled) PyGC_Enable();
    }
    CollectorPause() = default;
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;
};

// Holds the core's scratch for one call (RuntimeError when a callback
// re-entered the model).
class CoreUse {
public:
    explicit CoreUse(ChainCore* core) : core_(core) {
        if (core_->busy) {
            PyErr_SetString(PyExc_RuntimeError, "ChainModel is already in use by this thread");
            core_ = nullptr;
            return;
        }
        core_->busy = true;
    }
    ~CoreUse() {
        if (core_) core_->busy = false;
    }
    CoreUse(const CoreUse&) = delete;
    CoreUse& operator=(const CoreUse&) = delete;
    explicit operator bool() const { return core_ != nullptr; }

private:
    ChainCore* core_;
};

// The labels as a tuple of distinct exact str (str subclasses copied; a new
// reference); TypeError or ValueError otherwise.
PyObject* label_tuple(PyObject* labels);
// Fills the label tables of core (use_utf8 set) from such a tuple.
bool init_labels(ChainCore& core, PyObject* labels);

// Label index of a label object (a str), or -1 with ValueError/TypeError
// naming `what`.
int64_t label_index(ChainCore* core, PyObject* label, const char* what, Py_ssize_t position);

// A weight array: a 1-d float64 buffer at least n_features long. A strided
// array (a[::2]) is read through a contiguous copy.
struct WeightsView {
    View1D view{};
    std::vector<double> copy;
    ~WeightsView() { view_release(view); }
    bool acquire(PyObject* weights, const ChainCore* core);
    Weights weights() const { return {copy.empty() ? reinterpret_cast<const double*>(view.data) : copy.data()}; }
};

// The inputs of one sentence, converted before any native work starts
// (converting may run Python code): FeatureLists (or what FeatureList()
// takes) per position; candidates None for every label, else a sequence
// of labels per position; gold None or one label per position.
struct SentenceInput {
    std::vector<Ref> flists;
    std::vector<uint32_t> cand_start{0};
    std::vector<uint32_t> cands;  // label indices
    std::vector<uint32_t> gold;

    bool read(ChainCore* core, PyObject* sentence, PyObject* candidates, PyObject* gold_labels);
    // The candidates with the gold label added where it is missing (training
    // always offers it).
    void candidates_with_gold(std::vector<uint32_t>& labels, std::vector<uint32_t>& start) const;
};

// Label lists, one per position (None: every label), as label indices
// labels[start[k], start[k + 1]); errors name `what`.
bool read_label_lists(ChainCore* core, PyObject* lists, std::size_t positions, const char* what,
                      std::vector<uint32_t>& labels, std::vector<uint32_t>& start);

// Compiles a read sentence into out (cleared first); a gold label missing
// from its position's candidates is added to them. The caller holds the
// core (CoreUse). False with a Python error.
bool compile_input(ChainCore* core, const SentenceInput& in, CompiledChain& out);

// Reads the candidates of a sentence into out and their emission scores
// under w into scores, for a monotone table (decoding without compiling).
bool score_input(ChainCore* core, const SentenceInput& in, const Weights& w, CompiledChain& out,
                 std::vector<double>& scores);

// A new SparseVectorD with the emission entries of candidate c.
PyObject* emission_vector(const CompiledChain& cs, std::size_t c);

// A new CompiledSentence of model taking over chain (deleted on failure).
PyObject* new_compiled_sentence(PyObject* model, CompiledChain* chain);
// The compiled form of a CompiledSentence of model as it is now built, or
// ValueError (another model, or compiled before the model was built again).
const CompiledChain* compiled_of(ChainModelObject* model, PyObject* sentence, Py_ssize_t index = -1);

// AssertionError for a decode that ended below the score floor.
bool raise_no_path(int64_t position, std::size_t positions, double floor);

// The methods of the other files.
extern PyMethodDef chain_train_methods[];

}  // namespace qv

#endif
