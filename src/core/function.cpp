// C++ callables that behave like Python functions: vectorcall entry, argument binding,
// descriptor binding for methods, and the attributes introspection relies on.
#include "core.hpp"

#include <structmember.h>

#include <memory>

namespace ql {

void bind_arguments(const Signature &sig, Args &a, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames);

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject *dict;
    PyObject *name;
    PyObject *qualname;
    PyObject *module;
    PyObject *doc;
    Signature *sig;
    Impl impl;
};

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf,
                              PyObject *kwnames) {
    auto *self = (FunctionObject *)callable;
    try {
        Args a;
        bind_arguments(*self->sig, a, args, nargsf, kwnames);
        return self->impl(a).release().ptr();
    } catch (nb::python_error &e) {
        e.restore();
    } catch (nb::builtin_exception &e) {
        // nanobind's own exceptions (e.g. from nb::cast) keep their Python type
        PyObject *type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: type = PyExc_TypeError; break;
            case nb::exception_type::value_error: type = PyExc_ValueError; break;
            case nb::exception_type::index_error: type = PyExc_IndexError; break;
            case nb::exception_type::key_error: type = PyExc_KeyError; break;
            case nb::exception_type::attribute_error: type = PyExc_AttributeError; break;
            case nb::exception_type::stop_iteration: type = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(type, e.what());
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    }
    return nullptr;
}

// Plain functions are descriptors that do not bind (like built-in functions), so that
// introspection treats them as routines.
PyObject *function_descr_get(PyObject *self, PyObject *, PyObject *) { return Py_NewRef(self); }

PyObject *method_descr_get(PyObject *self, PyObject *obj, PyObject *) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

void function_dealloc(PyObject *o) {
    auto *self = (FunctionObject *)o;
    Py_XDECREF(self->dict);
    Py_XDECREF(self->name);
    Py_XDECREF(self->qualname);
    Py_XDECREF(self->module);
    Py_XDECREF(self->doc);
    delete self->sig;
    PyTypeObject *tp = Py_TYPE(o);
    tp->tp_free(o);
    Py_DECREF(tp);
}

PyObject *function_repr(PyObject *o) {
    auto *self = (FunctionObject *)o;
    return PyUnicode_FromFormat("<function %U at %p>", self->qualname, o);
}

// The object an annotation string stands for, evaluated like a Python annotation: in the
// owning module's namespace, with the typing names the signatures use. An annotation that
// does not evaluate stays a string (as a postponed annotation would).
nb::object annotation_object(const std::string &text, nb::handle module_name) {
    static nb::handle builtins = keep(import("builtins"));
    static nb::handle typing = keep(import("typing"));
    static nb::handle sys_modules = keep(import_attr("sys", "modules"));
    if (text == "int" || text == "float" || text == "str" || text == "dict" || text == "bool" ||
        text == "list" || text == "tuple")
        return builtins.attr(text.c_str());
    nb::dict ns;
    for (const char *name : {"Optional", "Tuple", "List", "Dict", "Union", "Any", "Callable"})
        ns[name] = typing.attr(name);
    PyObject *module = PyDict_GetItemWithError(sys_modules.ptr(), module_name.ptr());
    if (module) {
        PyObject *globals = PyObject_GetAttrString(module, "__dict__");
        if (globals && PyDict_Check(globals)) PyDict_Update(ns.ptr(), globals);
        Py_XDECREF(globals);
    }
    PyErr_Clear();
    PyObject *value = PyRun_String(text.c_str(), Py_eval_input, ns.ptr(), ns.ptr());
    if (!value) {
        PyErr_Clear();
        return nb::str(text.c_str());
    }
    return nb::steal(value);
}

PyObject *get_signature(PyObject *o, void *) {
    auto *self = (FunctionObject *)o;
    try {
        static nb::handle inspect = keep(import("inspect"));
        nb::object Parameter = inspect.attr("Parameter");
        nb::object empty = Parameter.attr("empty");
        const Signature &sig = *self->sig;
        auto annotation = [&](const std::string &text) {
            return text.empty() ? empty : annotation_object(text, self->module);
        };
        nb::list params;
        bool varargs_written = false;
        auto add_varargs = [&] {
            params.append(Parameter(sig.varargs_name, Parameter.attr("VAR_POSITIONAL")));
            varargs_written = true;
        };
        for (const Param &p : sig.params) {
            if (p.keyword_only && sig.has_varargs && !varargs_written) add_varargs();
            nb::object kind = p.keyword_only ? Parameter.attr("KEYWORD_ONLY")
                                             : Parameter.attr("POSITIONAL_OR_KEYWORD");
            params.append(Parameter(p.name, kind, nb::arg("default") = p.has_default ? p.default_value : empty,
                                    nb::arg("annotation") = annotation(p.annotation)));
        }
        if (sig.has_varargs && !varargs_written) add_varargs();
        if (sig.has_varkw) params.append(Parameter(sig.varkw_name, Parameter.attr("VAR_KEYWORD")));
        return inspect.attr("Signature")(params, nb::arg("return_annotation") = annotation(sig.return_annotation))
            .release()
            .ptr();
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyObject *get_text_signature(PyObject *o, void *) {
    auto *self = (FunctionObject *)o;
    try {
        std::string text = self->sig->text_signature();
        return PyUnicode_FromStringAndSize(text.data(), (Py_ssize_t)text.size());
    } catch (nb::python_error &e) {
        e.restore();
        return nullptr;
    }
}

PyObject *get_doc(PyObject *o, void *) { return Py_NewRef(((FunctionObject *)o)->doc); }

PyObject *function_reduce(PyObject *o, PyObject *) {
    // Pickled by reference, like a Python function: module + qualified name.
    return Py_NewRef(((FunctionObject *)o)->qualname);
}

PyMemberDef function_members[] = {
    {"__name__", T_OBJECT, offsetof(FunctionObject, name), 0, nullptr},
    {"__qualname__", T_OBJECT, offsetof(FunctionObject, qualname), 0, nullptr},
    {"__module__", T_OBJECT, offsetof(FunctionObject, module), 0, nullptr},
    {"__dictoffset__", T_PYSSIZET, offsetof(FunctionObject, dict), READONLY, nullptr},
    {"__vectorcalloffset__", T_PYSSIZET, offsetof(FunctionObject, vectorcall), READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef function_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__doc__", get_doc, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr}};

PyTypeObject *make_type(bool is_method) {
    PyType_Slot slots[] = {
        {Py_tp_dealloc, (void *)function_dealloc},
        {Py_tp_repr, (void *)function_repr},
        {Py_tp_call, (void *)PyVectorcall_Call},
        {Py_tp_members, (void *)function_members},
        {Py_tp_getset, (void *)function_getset},
        {Py_tp_methods, (void *)function_methods},
        {Py_tp_descr_get, is_method ? (void *)method_descr_get : (void *)function_descr_get},
        {0, nullptr}};
    PyType_Spec spec = {
        is_method ? "quillane.method" : "quillane.function", (int)sizeof(FunctionObject), 0,
        (unsigned)(Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL |
                   (is_method ? Py_TPFLAGS_METHOD_DESCRIPTOR : 0)),
        slots};
    return (PyTypeObject *)check(PyType_FromSpec(&spec));
}

nb::object new_function(const std::string &module, const std::string &qualname, Signature sig,
                        Impl impl, const char *doc) {
    static PyTypeObject *function_type = make_type(false);
    static PyTypeObject *method_type = make_type(true);
    PyTypeObject *tp = sig.is_method ? method_type : function_type;
    auto *f = PyObject_New(FunctionObject, tp);
    if (!f) throw nb::python_error();
    f->vectorcall = function_vectorcall;
    f->dict = PyDict_New();
    f->name = PyUnicode_FromString(sig.name.c_str());
    f->qualname = PyUnicode_FromString(qualname.c_str());
    f->module = PyUnicode_FromString(module.c_str());
    f->doc = doc ? PyUnicode_FromString(doc) : Py_NewRef(Py_None);
    f->sig = new Signature(std::move(sig));
    f->impl = impl;
    nb::object result = nb::steal((PyObject *)f);
    check(f->dict && f->name && f->qualname && f->module && f->doc);
    return result;
}

}  // namespace

nb::object function(const std::string &module, const std::string &qualname,
                    const std::string &signature, Impl impl, const char *doc) {
    return new_function(module, qualname, Signature::parse(signature), impl, doc);
}

void def(nb::module_ &m, const std::string &signature, Impl impl, const char *doc) {
    Signature sig = Signature::parse(signature);
    std::string name = sig.name;
    std::string module = nb::cast<std::string>(m.attr("__name__"));
    m.attr(name.c_str()) = new_function(module, name, std::move(sig), impl, doc);
}

nb::object make_class(nb::module_ &m, const std::string &name, std::initializer_list<nb::handle> bases,
                      const char *doc, std::initializer_list<Member> members) {
    static nb::handle prepare_class = keep(import_attr("types", "prepare_class"));
    static nb::handle builtins = keep(import("builtins"));
    std::string module = nb::cast<std::string>(m.attr("__name__"));

    nb::list base_list;
    for (nb::handle b : bases) base_list.append(b);
    nb::tuple base_tuple = nb::tuple(base_list);
    nb::tuple prepared = nb::cast<nb::tuple>(prepare_class(name, base_tuple));
    nb::object meta = prepared[0], ns = prepared[1];

    ns["__module__"] = module;
    ns["__qualname__"] = name;
    ns["__doc__"] = doc ? nb::object(nb::str(doc)) : nb::none();
    for (const Member &mem : members) {
        if (mem.type == Member::Type::Value) {
            ns[mem.signature.c_str()] = mem.value;
            continue;
        }
        Signature sig = Signature::parse(mem.signature);
        std::string attr = sig.name;
        nb::object fn = new_function(module, name + "." + attr, std::move(sig), mem.impl, mem.doc);
        if (mem.abstract) fn.attr("__isabstractmethod__") = true;
        switch (mem.type) {
            case Member::Type::ClassMethod: fn = builtins.attr("classmethod")(fn); break;
            case Member::Type::StaticMethod: fn = builtins.attr("staticmethod")(fn); break;
            case Member::Type::Property:
                fn = builtins.attr("property")(fn, nb::none(), nb::none(), fn.attr("__doc__"));
                break;
            default: break;
        }
        ns[attr.c_str()] = fn;
    }
    nb::object cls = meta(name, base_tuple, ns);
    m.attr(name.c_str()) = cls;
    return cls;
}

}  // namespace ql
