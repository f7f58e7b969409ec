// The type specifications of the ten classes, in registration order, and the
// small helpers their slot functions share.
#pragma once

#include "module/args.h"
#include "module/instance.h"

namespace kovalith::py {

extern PyType_Spec vector3d_spec;
extern PyType_Spec graph_node_spec;
extern PyType_Spec graph_edge_spec;
extern PyType_Spec wire_contact_spec;
extern PyType_Spec spatial_graph_spec;
extern PyType_Spec wire_spec;
extern PyType_Spec mesh_spec;
extern PyType_Spec topological_entity_spec;
extern PyType_Spec spatial_registry_spec;
extern PyType_Spec ifc_parser_spec;

// PyMethodDef stores every C function as PyCFunction; the flags tell the
// interpreter the real signature.
template <class F>
constexpr PyCFunction as_cfunction(F* function) noexcept {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

// The setter's answer to `del obj.attr` on a read/write attribute.
inline int deny_delete() noexcept {
  PyErr_SetString(PyExc_AttributeError, "property has no deleter");
  return -1;
}

}  // namespace kovalith::py
