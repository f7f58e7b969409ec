// IfcParser: a data-less class whose one static method reads IFC text.
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"

namespace kovalith::py {
namespace {

struct NoValue {};

PyMethodDef ifc_parser_methods[] = {
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
