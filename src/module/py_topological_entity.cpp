// TopologicalEntity: id, free-text type and optional parent number.
#include "module/convert.h"
#include "module/errors.h"
#include "module/types.h"
#include "records/topological_entity.h"

#include <array>

namespace kovalith::py {
namespace {

using EntityObject = Instance<TopologicalEntity>;

constexpr std::array<const char*, 3> param_names = {"id", "entity_type", "parent_id"};

PyObject* entity_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    Arguments<3> a;
    if (!match("TopologicalEntity", param_names, args, kwargs, a)) return nullptr;
    TopologicalEntity e;
    if (!convert_argument(&to_u64, a[0], e.id, "id") ||
        !convert_argument(&to_utf8, a[1], e.entity_type, "entity_type") ||
        !convert_argument(&to_optional_u64, a[2], e.parent_id, "parent_id")) {
      return nullptr;
    }
    return new_instance_of(type, std::move(e));
  });
}

PyGetSetDef entity_getset[] = {
    read_write_field<TopologicalEntity, &TopologicalEntity::id, &to_u64>("id"),
    read_write_field<TopologicalEntity, &TopologicalEntity::entity_type, &to_utf8>("entity_type"),
    read_write_field<TopologicalEntity, &TopologicalEntity::parent_id, &to_optional_u64>(
        "parent_id"),
    {},
};

PyType_Slot entity_slots[] = {
    {Py_tp_doc, const_cast<char*>("TopologicalEntity(id, entity_type, parent_id)\n--\n\n"
                                  "Represents any entity inside the topological hierarchy.")},
    {Py_tp_new, reinterpret_cast<void*>(entity_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<TopologicalEntity>)},
    {Py_tp_getset, entity_getset},
    {},
};

}  // namespace

PyType_Spec topological_entity_spec = {
    "builtins.TopologicalEntity", sizeof(EntityObject), 0, Py_TPFLAGS_DEFAULT, entity_slots,
};

}  // namespace kovalith::py
