// FCombo.to_svmltk: one Multipart as the feature part of an SVM-light-TK
// example line: " |BT| " and the bracketed text of each tree, "|ET|" after
// the trees, the pairs of part 0's vector, then "|BV|" pairs " |EV| " for
// every further part. No class label and no line end are written.
#include "common/args.h"
#include "common/errors.h"
#include "common/interned.h"
#include "common/py_writer.h"
#include "feature/combine/fcombo.h"
#include "feature/infotree/infotree.h"
#include "feature/lists/multipart.h"

namespace qv {

namespace {

// self(part): the vector of one part, combined up to order n with the bias
// and without labels. A Python subclass that overrides __call__ is called.
PyObject* vector_of(PyObject* self, PyObject* part) {
    if (Py_TYPE(self)->tp_call == FCombo_Type.tp_call)
        return fcombo_vectorise(reinterpret_cast<FComboObject*>(self), part, nullptr);
    return PyObject_CallOneArg(self, part);
}

bool write_pairs_of(PyObject* vec, PyObject* f) {
    static Interned write_pairs_name("write_pairs");
    PyObject* name = write_pairs_name.get();
    return name && Ref(PyObject_CallMethodOneArg(vec, name, f));
}

bool write_example(PyObject* self, PyObject* mp_obj, PyObject* f, PyWriter& out) {
    MultipartObject* mp = reinterpret_cast<MultipartObject*>(mp_obj);
    Ref trees = Ref::borrow(mp->trees ? mp->trees : Py_None);
    if (trees.get() != Py_None) {
        Py_ssize_t count = PyObject_Length(trees.get());
        if (count < 0) return false;
        for (Py_ssize_t i = 0; i < count; ++i) {
            Ref tree(PySequence_GetItem(trees.get(), i));
            if (!tree || !check_convert(tree.get(), &InfoTree_Type, true)) return false;
            Ref pieces(PyList_New(0));
            if (!pieces || !tree_pieces(tree.get(), pieces.get())) return false;
            out.put(" |BT| ");
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(pieces.get()); ++k) {
                Ref x = Ref::borrow(PyList_GET_ITEM(pieces.get(), k));
                if (!out.put_object(x.get())) return false;
            }
        }
        out.put("|ET|");
    }
    Ref first(PySequence_GetItem(mp_obj, 0));
    Ref vec(first ? vector_of(self, first.get()) : nullptr);
    if (!vec || !out.flush() || !write_pairs_of(vec.get(), f)) return false;
    Py_ssize_t parts = PyObject_Length(mp_obj);
    if (parts < 0) return false;
    for (Py_ssize_t i = 1; i < parts; ++i) {
        Ref part(PySequence_GetItem(mp_obj, i));
        if (!part || !check_convert(part.get(), &FeatureList_Type, true)) return false;
        out.put("|BV|");
        Ref v(vector_of(self, part.get()));
        if (!v || !out.flush() || !write_pairs_of(v.get(), f)) return false;
        out.put(" |EV| ");
    }
    return out.flush();
}

PyObject* fc_to_svmltk(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    static const char* const names[] = {"flist", "f", nullptr};
    static const ArgSpec spec{"to_svmltk", names, 0, 2};
    PyObject* a[2];
    if (!parse_args(spec, args, nargs, kwnames, a)) return nullptr;
    if (!check_arg_type(a[0], &Multipart_Type, "flist", false)) return nullptr;
    Ref hold_mp = Ref::borrow(a[0]), hold_f = Ref::borrow(a[1]);
    PyWriter out(a[1], PyWriter::Mode::Bytes);
    bool ok;
    QV_TRY ok = write_example(self, a[0], a[1], out);
    QV_CATCH(nullptr)
    if (!ok) {
        out.flush_keeping_error();
        return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef fc_svmltk_methods[] = {
    {"to_svmltk", reinterpret_cast<PyCFunction>(fc_to_svmltk), METH_FASTCALL | METH_KEYWORDS,
     "to_svmltk($self, flist, f)\n--\n\n"
     "Writes the Multipart flist to the binary stream f as the feature part of\n"
     "an SVM-light-TK example: ' |BT| ' and the bracketed tree (UTF-8) per tree, '|ET|' when there is\n"
     "a tree list, the pairs of part 0's vector (write_pairs: ' index:value ...', indices from 1),\n"
     "then '|BV|', the pairs and ' |EV| ' for every further part. Each part is vectorised on its own\n"
     "as fc(part) would. Neither a class label nor a line end is written."},
    {nullptr, nullptr, 0, nullptr}};

}  // namespace qv
