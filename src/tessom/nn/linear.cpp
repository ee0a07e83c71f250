// Affine map Z = A W^T + b on the last axis of an array of any leading shape, with an explicit
// backward that returns dL/dA and keeps dL/dW and dL/db on the layer. W is stored as
// (out_features, in_features), the orientation most frameworks use, so their weights can be
// handed to init_weights unchanged. numpy does the array math; the leading axes are folded into
// one so every product is a single 2-D matrix multiply.
#include <vk/common.hpp>

#include <cmath>
#include <stdexcept>
#include <string>

namespace {

namespace py = pybind11;
using vk::kw;

py::handle matmul() { return vk::imported<"numpy", "matmul">(); }

Py_ssize_t in_features(py::handle self) { return vk::exact_int(vk::attr<"in_features">(self), "in_features"); }
Py_ssize_t out_features(py::handle self) { return vk::exact_int(vk::attr<"out_features">(self), "out_features"); }

// A copy of a weight array as floats, so later changes to the caller's array leave the layer alone.
py::object weight_copy(py::handle x, const char* arg) {
    return vk::call(vk::imported<"numpy", "array">(), vk::float_array(x, arg), kw<"copy">(true));
}

void reset_gradients(py::handle self) {
    const py::handle zeros_like = vk::imported<"numpy", "zeros_like">();
    vk::set_attr<"dLdW">(self, vk::call(zeros_like, vk::attr<"W">(self)));
    vk::set_attr<"dLdb">(self, vk::call(zeros_like, vk::attr<"b">(self)));
}

py::object linear_init(py::handle self, const vk::Args<"in_features, out_features">& a) {
    const long long in = a.integer<"in_features">();
    const long long out = a.integer<"out_features">();
    if (in <= 0 || out <= 0)
        throw py::value_error("in_features and out_features must be positive, got " + std::to_string(in) + " and " + std::to_string(out));
    vk::set_attr<"in_features">(self, py::int_(in));
    vk::set_attr<"out_features">(self, py::int_(out));
    // Uniform in +-1/sqrt(fan_in) keeps the output variance near the input's; numpy's global
    // generator makes np.random.seed reproduce it.
    const double bound = 1.0 / std::sqrt(static_cast<double>(in));
    const py::handle uniform = vk::imported<"numpy.random", "uniform">();
    vk::set_attr<"W">(self, vk::call(uniform, -bound, bound, py::make_tuple(out, in)));
    vk::set_attr<"b">(self, vk::call(uniform, -bound, bound, py::make_tuple(out)));
    reset_gradients(self);
    vk::set_attr<"A">(self, py::none());
    return py::none();
}

py::object init_weights(py::handle self, const vk::Args<"W, b">& a) {
    const Py_ssize_t in = in_features(self);
    const Py_ssize_t out = out_features(self);
    py::object weight = weight_copy(a.get<"W">(), "W");
    const vk::Shape w_shape = vk::shape_of(weight);
    if (w_shape != vk::Shape{out, in})
        throw py::value_error("W must have shape (out_features, in_features) = " + vk::shape_text({out, in}) + ", got " +
                              vk::shape_text(w_shape));
    py::object bias = weight_copy(a.get<"b">(), "b");
    const vk::Shape b_shape = vk::shape_of(bias);
    // (out,), (1, out) and (out, 1) biases all hold the same values; store them flat.
    Py_ssize_t values = 1;
    for (const Py_ssize_t n : b_shape) values *= n;
    if (values != out)
        throw py::value_error("b must hold out_features = " + std::to_string(out) + " values, got shape " + vk::shape_text(b_shape));
    vk::set_attr<"W">(self, weight);
    vk::set_attr<"b">(self, vk::call_method<"reshape">(bias, out));
    reset_gradients(self);
    vk::set_attr<"A">(self, py::none());
    return py::none();
}

py::object forward(py::handle self, const vk::Args<"A">& a) {
    const Py_ssize_t in = in_features(self);
    const Py_ssize_t out = out_features(self);
    const py::object input = vk::float_array(a.get<"A">(), "A");
    vk::Shape shape = vk::shape_of(input);
    if (shape.empty() || shape.back() != in)
        throw py::value_error("Linear.forward: A must have in_features = " + std::to_string(in) + " values on its last axis, got shape " +
                              vk::shape_text(shape));
    const py::object z = vk::call(matmul(), vk::call_method<"reshape">(input, -1, in), vk::attr<"T">(vk::attr<"W">(self)));
    vk::call(vk::imported<"numpy", "add">(), z, vk::attr<"b">(self), kw<"out">(z));
    vk::set_attr<"A">(self, input);
    shape.back() = out;
    return vk::call_method<"reshape">(z, vk::shape_tuple(shape));
}

py::object backward(py::handle self, const vk::Args<"dLdZ">& a) {
    const py::object input = vk::attr<"A">(self);
    if (input.is_none()) throw std::runtime_error("Linear.backward called before forward");
    const Py_ssize_t in = in_features(self);
    const Py_ssize_t out = out_features(self);
    const py::object grad = vk::float_array(a.get<"dLdZ">(), "dLdZ");
    vk::Shape expected = vk::shape_of(input);
    expected.back() = out;
    if (vk::shape_of(grad) != expected)
        throw py::value_error("Linear.backward: dLdZ must have the shape of the latest output " + vk::shape_text(expected) + ", got " +
                              vk::shape_text(vk::shape_of(grad)));
    const py::object grad_2d = vk::call_method<"reshape">(grad, -1, out);
    const py::object input_2d = vk::call_method<"reshape">(input, -1, in);
    vk::set_attr<"dLdW">(self, vk::call(matmul(), vk::attr<"T">(grad_2d), input_2d));
    vk::set_attr<"dLdb">(self, vk::call_method<"sum">(grad_2d, kw<"axis">(0)));
    const py::object d_input = vk::call(matmul(), grad_2d, vk::attr<"W">(self));
    return vk::call_method<"reshape">(d_input, vk::attr<"shape">(input));
}

constexpr vk::Def kInit{"__init__", linear_init};
constexpr vk::Def kInitWeights{
    "init_weights", init_weights,
    "Replaces the weights with copies of W (out_features, in_features) and b (out_features values) and clears the gradients."};
constexpr vk::Def kForward{"forward", forward, "Returns A @ W.T + b for A of shape (..., in_features), remembering A for backward."};
constexpr vk::Def kBackward{
    "backward", backward,
    "Given dL/dZ for the latest forward, stores dLdW and dLdb (overwriting earlier ones) and returns dL/dA (the shape of A)."};

}  // namespace

PYBIND11_MODULE(linear, m) {
    m.doc() = "Affine layer on numpy arrays with an explicit backward pass.";
    vk::define_class<kInit, kInitWeights, kForward, kBackward>(
        m, "Linear", vk::imported<"builtins", "object">(),
        "Affine map on the last axis: Z = A @ W.T + b, W of shape (out_features, in_features).");
}
