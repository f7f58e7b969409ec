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

PyObject* entity_get_id(PyObject* self, void*) {
  auto* inst = as_instance<TopologicalEntity>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  return new_u64(inst->value.id);
}

PyObject* entity_get_type(PyObject* self, void*) {
  auto* inst = as_instance<TopologicalEntity>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  const std::string& text = inst->value.entity_type;
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* entity_get_parent(PyObject* self, void*) {
  auto* inst = as_instance<TopologicalEntity>(self);
  SharedBorrow borrow(inst->borrow);
  if (!borrow.ok()) return nullptr;
  if (!inst->value.parent_id) Py_RETURN_NONE;
  return new_u64(*inst->value.parent_id);
}

// Converts into a temporary first, so a failed assignment keeps the field.
template <class T, T TopologicalEntity::*Field>
int entity_set(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr) return deny_delete();
  return guarded([&]() -> int {
    auto* inst = as_instance<TopologicalEntity>(self);
    ExclusiveBorrow borrow(inst->borrow);
    if (!borrow.ok()) return -1;
    const char* name = static_cast<const char*>(closure);
    T converted{};
    bool ok = false;
    if constexpr (std::is_same_v<T, std::uint64_t>) {
      ok = convert_argument(&to_u64, value, converted, name);
    } else if constexpr (std::is_same_v<T, std::string>) {
      ok = convert_argument(&to_utf8, value, converted, name);
    } else {
      ok = convert_argument(&to_optional_u64, value, converted, name);
    }
    if (!ok) return -1;
    inst->value.*Field = std::move(converted);
    return 0;
  });
}

PyGetSetDef entity_getset[] = {
    {"id", entity_get_id, entity_set<std::uint64_t, &TopologicalEntity::id>, nullptr,
     const_cast<char*>("id")},
    {"entity_type", entity_get_type, entity_set<std::string, &TopologicalEntity::entity_type>,
     nullptr, const_cast<char*>("entity_type")},
    {"parent_id", entity_get_parent,
     entity_set<std::optional<std::uint64_t>, &TopologicalEntity::parent_id>, nullptr,
     const_cast<char*>("parent_id")},
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
