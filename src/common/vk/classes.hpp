// Abstract base classes written in C++: classes whose metaclass is abc.ABCMeta, with abstract
// operations marked by abc.abstractmethod, that C++ modules and Python users alike can subclass.
//
//     vk::define_abc_class<kTrainEpoch, kTrain, kInit, ...>(m, "BaseTrainer", vk::abc_root(), doc,
//                                                        {"_train_epoch", "train"});
//     vk::define_abc_class<kInit, kTrainEpoch, ...>(m, "LMTrainer", base_trainer, doc);   // a subclass
//
// Methods are method descriptors (as with define_class); they can only be installed once the
// class exists, so the set of abstract names is recomputed afterwards
// (abc.update_abstractmethods): a concrete C++ subclass must be made with define_abc_class (or
// call vk::update_abstract_methods itself after adding its methods), otherwise it keeps the
// abstract names it inherited at creation and cannot be instantiated.
//
// abc.abstractmethod sets `__isabstractmethod__` on what it is given, which a builtin method
// descriptor cannot carry, so each abstract operation is wrapped in an AbstractMethod: a callable
// with an attribute dictionary that binds to instances exactly as the wrapped descriptor does and
// exposes it as `__wrapped__` (so inspect.signature shows the real parameters).
#pragma once

#include "call.hpp"
#include "definitions.hpp"

#include <structmember.h>

#include <cstddef>
#include <initializer_list>
#include <stdexcept>
#include <string>

namespace vk {

namespace detail {

struct AbstractMethodObject {
    PyObject_HEAD PyObject* function;  // the wrapped method descriptor
    PyObject* dict;
};

inline int abstract_method_traverse(PyObject* self, visitproc visit, void* arg) {
    auto* o = reinterpret_cast<AbstractMethodObject*>(self);
    Py_VISIT(o->function);
    Py_VISIT(o->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

inline int abstract_method_clear(PyObject* self) {
    auto* o = reinterpret_cast<AbstractMethodObject*>(self);
    Py_CLEAR(o->function);
    Py_CLEAR(o->dict);
    return 0;
}

inline void abstract_method_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    abstract_method_clear(self);
    type->tp_free(self);
    Py_DECREF(type);
}

inline PyObject* abstract_method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
    auto* o = reinterpret_cast<AbstractMethodObject*>(self);
    if (o->function == nullptr) {
        PyErr_SetString(PyExc_TypeError, "abstract method has no function");
        return nullptr;
    }
    return PyObject_Call(o->function, args, kwargs);
}

// Looked up on the class: the wrapper itself (so abc sees __isabstractmethod__); on an instance:
// the bound method of the wrapped descriptor.
inline PyObject* abstract_method_get(PyObject* self, PyObject* instance, PyObject* owner) {
    auto* o = reinterpret_cast<AbstractMethodObject*>(self);
    if (instance == nullptr || instance == Py_None || o->function == nullptr) {
        Py_INCREF(self);
        return self;
    }
    descrgetfunc get = Py_TYPE(o->function)->tp_descr_get;
    if (get == nullptr) {
        Py_INCREF(o->function);
        return o->function;
    }
    return get(o->function, instance, owner);
}

inline PyObject* abstract_method_repr(PyObject* self) {
    auto* o = reinterpret_cast<AbstractMethodObject*>(self);
    if (o->function == nullptr) return PyUnicode_FromString("<abstract method>");
    return PyUnicode_FromFormat("<abstract method %R>", o->function);
}

inline PyMemberDef abstract_method_members[] = {
    {"__func__", T_OBJECT, offsetof(AbstractMethodObject, function), READONLY, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(AbstractMethodObject, dict), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

inline PyType_Slot abstract_method_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(&abstract_method_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(&abstract_method_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(&abstract_method_clear)},
    {Py_tp_call, reinterpret_cast<void*>(&abstract_method_call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(&abstract_method_get)},
    {Py_tp_repr, reinterpret_cast<void*>(&abstract_method_repr)},
    {Py_tp_members, abstract_method_members},
    {Py_tp_doc, const_cast<char*>("An abstract method implemented in C++.")},
    {0, nullptr},
};

inline PyType_Spec abstract_method_spec = {
    "vk.AbstractMethod", sizeof(AbstractMethodObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC, abstract_method_slots,
};

inline PyTypeObject* abstract_method_type() {
    static PyObject* const type = [] {
        PyObject* t = PyType_FromSpec(&abstract_method_spec);
        if (t == nullptr) throw py::error_already_set();
        return t;
    }();
    return reinterpret_cast<PyTypeObject*>(type);
}

// abc.abstractmethod(AbstractMethod(function)), carrying the function's name and docstring.
inline py::object abstract_method(py::handle function) {
    PyTypeObject* type = abstract_method_type();
    PyObject* raw = type->tp_alloc(type, 0);
    if (raw == nullptr) throw py::error_already_set();
    py::object wrapper = py::reinterpret_steal<py::object>(raw);
    auto* o = reinterpret_cast<AbstractMethodObject*>(raw);
    o->function = py::reinterpret_borrow<py::object>(function).release().ptr();
    py::setattr(wrapper, "__wrapped__", function);
    for (const char* a : {"__name__", "__qualname__", "__doc__"}) py::setattr(wrapper, a, py::getattr(function, a));
    return call(imported<"abc", "abstractmethod">(), wrapper);
}

}  // namespace detail

// abc.ABC, the root of every abstract base class.
inline py::handle abc_root() { return imported<"abc", "ABC">(); }

// Recomputes cls.__abstractmethods__ from what the class now defines and inherits.
inline void update_abstract_methods(py::handle cls) { call(imported<"abc", "update_abstractmethods">(), cls); }

// class Name(base) with the given methods, `abstract` naming those of them that are abstract.
// `base` is abc.ABC or a class whose metaclass is ABCMeta, so the new class gets that metaclass.
template <const auto&... Ms>
py::object define_abc_class(py::module_& m, const char* name, py::handle base, const char* doc,
                            std::initializer_list<const char*> abstract = {}) {
    py::object cls = define_class<Ms...>(m, name, base, doc);
    for (const char* op : abstract) {
        // Replacing an existing class attribute keeps its place in the class dictionary.
        PyObject* own = PyDict_GetItemString(reinterpret_cast<PyTypeObject*>(cls.ptr())->tp_dict, op);
        const py::object descriptor = py::reinterpret_borrow<py::object>(own);
        if (!descriptor) throw std::logic_error(std::string("no method to mark abstract: ") + op);
        py::setattr(cls, op, detail::abstract_method(descriptor));
    }
    update_abstract_methods(cls);
    return cls;
}

}  // namespace vk
