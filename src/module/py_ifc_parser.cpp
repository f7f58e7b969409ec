// IfcParser: a data-less class whose one static method reads IFC text.
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"
#include "ifc/ifc_reader.h"

#include <array>
#include <string_view>

namespace kovalith::py {
namespace {

struct NoValue {};

constexpr std::array<const char*, 1> parse_names = {"ifc_content"};

// A view of the str's UTF-8 form, valid while the str lives. Texts of
// hundreds of megabytes are read in place: an ASCII str is its own UTF-8.
bool to_utf8_view(PyObject* obj, std::string_view& out) noexcept {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "expected str, got '%.200s'", Py_TYPE(obj)->tp_name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

PyObject* parse_ifc_points_and_faces_method(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                            PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    Arguments<1> a;
    if (!match("parse_ifc_points_and_faces", parse_names, args, nargs, kwnames, a)) {
      return nullptr;
    }
    std::string_view text;
    if (!convert_argument(&to_utf8_view, a[0], text, "ifc_content")) return nullptr;
    auto mesh = kovalith::parse_ifc_points_and_faces(text);
    if (!mesh) return raise_error(mesh.error());
    return new_mesh(std::move(*mesh));
  });
}

PyMethodDef ifc_parser_methods[] = {
    {"parse_ifc_points_and_faces", as_cfunction(parse_ifc_points_and_faces_method),
     METH_FASTCALL | METH_KEYWORDS | METH_STATIC,
     "parse_ifc_points_and_faces(ifc_content)\n--\n\n"
     "Extracts coordinate data and creates a compiled Mesh from raw IFC text streams."},
    {},
};

PyType_Slot ifc_parser_slots[] = {
    {Py_tp_doc, const_cast<char*>("The native IFC parser engine, parsing points and wire loops in "
                                  "linear time.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<NoValue>)},
    {Py_tp_methods, ifc_parser_methods},
    {},
};

}  // namespace

PyType_Spec ifc_parser_spec = {
    "builtins.IfcParser", sizeof(Instance<NoValue>), 0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, ifc_parser_slots,
};

}  // namespace kovalith::py
