// Binding of the sibling modules' C APIs, shared by feature and learn.
#include "alphabet/alphabet_api.h"
#include "common/module_util.h"
#include "sparsmat/sparsmat_api.h"

namespace qv {

const SparsmatAPI* import_sparsmat() {
    const char* mod = "quorvex.sparsmat";
    auto* api = static_cast<const SparsmatAPI*>(import_api(mod, SPARSMAT_API_VERSION, sizeof(SparsmatAPI)));
    if (!api) return nullptr;
    struct Expect {
        PyTypeObject* tp;
        const char* name;
        Py_ssize_t size;
    };
    // Types whose instances other modules read directly have a fixed size;
    // for the rest only their presence is checked.
    const Expect expected[] = {
        {api->CSRMatrixD, "CSRMatrixD", -1},          {api->CSRMatrixI, "CSRMatrixI", -1},
        {api->SparseVectorI, "SparseVectorI", sizeof(SparseVectorI)},
        {api->VecI1, "VecI1", sizeof(Vec1Object<int32_t>)},
        {api->VecI2, "VecI2", -1},                    {api->VecI3, "VecI3", -1},
        {api->SparseVectorsI, "SparseVectorsI", -1},  {api->CSRMatrixF, "CSRMatrixF", -1},
        {api->SparseVectorF, "SparseVectorF", sizeof(SparseVectorF)},
        {api->VecF1, "VecF1", sizeof(Vec1Object<float>)},
        {api->VecF2, "VecF2", -1},                    {api->VecF3, "VecF3", -1},
        {api->SparseVectorsF, "SparseVectorsF", -1},
        {api->SparseVectorD, "SparseVectorD", sizeof(SparseVectorD)},
        {api->VecD1, "VecD1", sizeof(VecD1)},
        {api->VecD2, "VecD2", -1},                    {api->VecD3, "VecD3", -1},
        {api->SparseVectorsD, "SparseVectorsD", -1},  {api->VecV1, "VecV1", -1},
        {api->VecV2, "VecV2", -1},                    {api->VecV3, "VecV3", -1},
    };
    for (const Expect& e : expected)
        if (!check_sibling_type(e.tp, mod, e.name, e.size)) return nullptr;
    return api;
}

const AlphabetAPI* import_alphabet() {
    const char* mod = "quorvex.alphabet";
    auto* api = static_cast<const AlphabetAPI*>(import_api(mod, ALPHABET_API_VERSION, sizeof(AlphabetAPI)));
    if (!api) return nullptr;
    if (!check_sibling_type(api->AbstractAlphabet, mod, "AbstractAlphabet", sizeof(AbstractAlphabetObject)) ||
        !check_sibling_type(api->Alphabet_iter, mod, "Alphabet_iter", -1) ||
        !check_sibling_type(api->PythonAlphabet, mod, "PythonAlphabet", sizeof(PythonAlphabetObject)) ||
        !check_sibling_type(api->StringAlphabet, mod, "StringAlphabet", sizeof(StringAlphabetObject)))
        return nullptr;
    return api;
}

}  // namespace qv
