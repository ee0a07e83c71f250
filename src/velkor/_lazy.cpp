// Lazy package re-exports: a name loads its extension module on first use, so importing a
// package stays cheap and a partial development build still imports. A package's __init__.py
// makes one LazyExports and takes its `load` and `names` as the module's __getattr__ and __dir__.
#include <vk/common.hpp>

namespace {

namespace py = pybind11;

using InitArgs = vk::Args<"package, exports">;
py::object init(py::handle self, const InitArgs& a) {
    vk::set_attr<"package">(self, py::str(a.text<"package">()));
    vk::set_attr<"exports">(self, a.dict<"exports">());
    return py::none();
}

// The package's namespace, where a loaded name is bound so that later lookups skip __getattr__.
py::object namespace_of(py::handle self) {
    const py::object modules = vk::attr<"modules">(vk::imported<"sys">());
    return vk::attr<"__dict__">(py::object(modules[vk::attr<"package">(self)]));
}

py::object load(py::handle self, const vk::Args<"name">& a) {
    const py::handle name = a.get<"name">();
    const py::dict exports = vk::attr<"exports">(self);
    const py::object package = vk::attr<"package">(self);
    if (!exports.contains(name))
        throw py::attribute_error("module " + vk::utf8(py::repr(package)) + " has no attribute " + vk::utf8(py::repr(name)));
    const py::object module = vk::call(vk::imported<"importlib", "import_module">(), py::object(exports[name]), package);
    py::object value = py::getattr(module, name);
    namespace_of(self)[name] = value;
    return value;
}

py::object names(py::handle self, const vk::Args<"">&) {
    py::set all;
    for (const auto& item : py::dict(namespace_of(self))) all.add(item.first);
    for (const auto& item : py::dict(vk::attr<"exports">(self))) all.add(item.first);
    return vk::call(vk::imported<"builtins", "sorted">(), all);
}

constexpr vk::Def kInit{"__init__", init};
constexpr vk::Def kLoad{"load", load,
                        "The exported attribute `name`, imported from its module and bound in the package (a module __getattr__)."};
constexpr vk::Def kNames{"names", names, "The package's names and its exports, sorted (a module __dir__)."};

}  // namespace

PYBIND11_MODULE(_lazy, m) {
    m.doc() = "Lazy package re-exports.";
    vk::define_class<kInit, kLoad, kNames>(m, "LazyExports", vk::imported<"builtins", "object">(),
                                           "Re-exports of `package`: exports maps each name to the relative module it comes from.");
}
