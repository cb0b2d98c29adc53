#pragma once
#include <pybind11/pybind11.h>

#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>
#include <utility>

namespace talmek::bindings {

void register_selected_match(pybind11::module_& m);
void register_line_seg(pybind11::module_& m);
void register_matching_params(pybind11::module_& m);

namespace detail {

// Instance creation for a record class: the record is built with its defaults at once, so an
// object made without __init__ (cls.__new__(cls), as unpickling does) never shows uninitialised
// memory. __init__ then finds the record in place and leaves it as it is.
template <class Record>
PyObject* new_with_defaults(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* self = pybind11::detail::pybind11_object_new(type, args, kwargs);
    if (self == nullptr) return nullptr;
    auto* inst = reinterpret_cast<pybind11::detail::instance*>(self);
    auto v_h = inst->get_value_and_holder(pybind11::detail::get_type_info(typeid(Record)));
    Record* value = new (std::nothrow) Record{};
    if (value == nullptr) {
        Py_DECREF(self);
        return PyErr_NoMemory();
    }
    v_h.value_ptr() = value;
    v_h.type->init_instance(inst, nullptr);
    return self;
}

}  // namespace detail

// Class options for a record class whose objects always hold a record (see new_with_defaults).
template <class Record>
pybind11::custom_type_setup built_with_defaults() {
    return pybind11::custom_type_setup(
        [](PyHeapTypeObject* heap_type) { heap_type->ht_type.tp_new = &detail::new_with_defaults<Record>; });
}

// The binding library takes any method named __init__ or __setstate__ for a constructor, which it
// skips on an object that already holds its record, as every record object here does: make the
// named method a plain one, so that it checks its arguments and does its work.
template <class Record>
void as_plain_method(pybind11::class_<Record>& cls, const char* name) {
    namespace py = pybind11;
    py::handle method = py::detail::get_function(cls.attr(name));
    if (!method) throw std::logic_error(std::string(name) + " is not a bound function");
    py::detail::function_record_ptr_from_PyObject(PyCFunction_GET_SELF(method.ptr()))->is_constructor = false;
}

// The default constructor: the record already holds its defaults, so __init__ only refuses
// arguments.
template <class Record>
void add_default_init(pybind11::class_<Record>& cls) {
    cls.def("__init__", [](Record&) {});
    as_plain_method(cls, "__init__");
}

// Pickling through the record's state tuple. __setstate__ writes the state into the object it is
// called on, or raises and leaves it as it was; every protocol, 0 and 1 included, reduces through
// copyreg's __newobj__ and the state, so pickles of either form read back.
template <class Record, class GetState, class FromState>
void add_state_pickling(pybind11::class_<Record>& cls, GetState get_state, FromState from_state) {
    namespace py = pybind11;
    cls.def("__getstate__", [get_state](const Record& r) { return get_state(r); })
        .def("__setstate__", [from_state](Record& r, const py::tuple& state) { r = from_state(state); })
        .def("__reduce__", [](py::handle self) {
            return py::make_tuple(py::module_::import("copyreg").attr("__newobj__"),
                                  py::make_tuple(py::type::of(self)), self.attr("__getstate__")());
        });
    as_plain_method(cls, "__setstate__");
}

}  // namespace talmek::bindings
