// quorvex.alphabet: two-way maps between words and dense ids, plus the C
// API capsule other modules bind at import.
#include "alphabet/alphabet_types.h"
#include "common/exception_storage.h"
#include "common/module_util.h"
#include "common/public_names.h"

namespace qv {
namespace {

AlphabetAPI api;

PyModuleDef module_def = {PyModuleDef_HEAD_INIT, "quorvex.alphabet",
                          "Alphabets: two-way maps between words and the ids 0, 1, 2, ...", -1, nullptr};

}  // namespace
}  // namespace qv

PyMODINIT_FUNC PyInit_alphabet(void) {
    using namespace qv;
    touch_exception_storage();
    if (!check_python_version("quorvex.alphabet")) return nullptr;
    Ref m(PyModule_Create(&module_def));
    if (!m || !declare_gil_used(m.get())) return nullptr;
    if (!ready_abstract_alphabet() || !ready_string_alphabet() || !ready_python_alphabet()) return nullptr;
    if (!add_type(m.get(), &AbstractAlphabet_Type, "AbstractAlphabet") ||
        !add_type(m.get(), &Alphabet_iter_Type, "Alphabet_iter") ||
        !add_type(m.get(), &PythonAlphabet_Type, "PythonAlphabet") ||
        !add_type(m.get(), &StringAlphabet_Type, "StringAlphabet"))
        return nullptr;
    api.version = ALPHABET_API_VERSION;
    api.size = sizeof(AlphabetAPI);
    api.AbstractAlphabet = &AbstractAlphabet_Type;
    api.Alphabet_iter = &Alphabet_iter_Type;
    api.PythonAlphabet = &PythonAlphabet_Type;
    api.StringAlphabet = &StringAlphabet_Type;
    if (!add_object(m.get(), "_C_API", PyCapsule_New(&api, "quorvex.alphabet._C_API", nullptr))) return nullptr;
    if (!set_public_names(m.get(), {"AbstractAlphabet", "PythonAlphabet", "StringAlphabet"})) return nullptr;
    return m.release();
}
