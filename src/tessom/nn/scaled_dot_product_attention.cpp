// Scaled dot-product attention on numpy arrays with an explicit backward:
//     A = softmax(Q K^T / sqrt(d), masked keys excluded),  output = A V.
// The softmax subtracts each row's maximum before exponentiating. Masked scores are set to -inf
// so they get exactly zero weight; a query row whose keys are all masked gets all-zero weights,
// hence a zero output and zero gradients, rather than the 0/0 NaNs a plain softmax produces.
// The forward works in place on the one (..., L, S) score array, which becomes the weights.
#include <vk/common.hpp>

#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace {

namespace py = pybind11;
using vk::kw;

template <vk::Lit F>
py::handle np_fn() {
    return vk::imported<"numpy", F>();
}

py::object swap_last(py::handle x) { return vk::call(np_fn<"swapaxes">(), x, -1, -2); }

py::object sdpa_init(py::handle self, const vk::Args<"">&) {
    vk::set_attr<"Q">(self, py::none());
    vk::set_attr<"K">(self, py::none());
    vk::set_attr<"V">(self, py::none());
    vk::set_attr<"mask">(self, py::none());
    vk::set_attr<"scale">(self, py::none());
    vk::set_attr<"attention_weights">(self, py::none());
    return py::none();
}

// Q (..., L, d), K (..., S, d), V (..., S, dv) with the same leading axes.
void check_inputs(const vk::Shape& q, const vk::Shape& k, const vk::Shape& v) {
    const auto describe = [&] { return ": got Q " + vk::shape_text(q) + ", K " + vk::shape_text(k) + ", V " + vk::shape_text(v); };
    if (q.size() < 2 || k.size() != q.size() || v.size() != q.size())
        throw py::value_error("Q, K and V must be arrays of the same number (at least 2) of dimensions" + describe());
    const std::size_t n = q.size();
    for (std::size_t i = 0; i + 2 < n; ++i)
        if (k[i] != q[i] || v[i] != q[i]) throw py::value_error("Q, K and V must have the same leading dimensions" + describe());
    if (k[n - 1] != q[n - 1]) throw py::value_error("Q and K must have the same last dimension (the head width)" + describe());
    if (v[n - 2] != k[n - 2]) throw py::value_error("K and V must have the same number of keys (dimension -2)" + describe());
}

// The mask must broadcast to the scores (..., L, S) without growing them.
void check_mask(const vk::Shape& mask, const vk::Shape& scores) {
    bool fits = mask.size() <= scores.size();
    for (std::size_t i = 0; fits && i < mask.size(); ++i) {
        const Py_ssize_t m = mask[mask.size() - 1 - i];
        fits = m == 1 || m == scores[scores.size() - 1 - i];
    }
    if (!fits)
        throw py::value_error("mask of shape " + vk::shape_text(mask) + " does not broadcast to the attention scores " +
                              vk::shape_text(scores));
}

py::object forward(py::handle self, const vk::Args<"Q, K, V, mask=None">& a) {
    const py::object q = vk::float_array(a.get<"Q">(), "Q");
    const py::object k = vk::float_array(a.get<"K">(), "K");
    const py::object v = vk::float_array(a.get<"V">(), "V");
    const vk::Shape q_shape = vk::shape_of(q);
    check_inputs(q_shape, vk::shape_of(k), vk::shape_of(v));
    const Py_ssize_t d = q_shape.back();
    const double scale = d > 0 ? 1.0 / std::sqrt(static_cast<double>(d)) : 1.0;

    const py::object weights = vk::call(np_fn<"matmul">(), q, swap_last(k));
    vk::call(np_fn<"multiply">(), weights, scale, kw<"out">(weights));
    py::object mask = py::none();
    if (!a.is_none<"mask">()) {
        mask = vk::bool_array(a.get<"mask">(), "mask");
        check_mask(vk::shape_of(mask), vk::shape_of(weights));
        vk::call(np_fn<"copyto">(), weights, -std::numeric_limits<double>::infinity(), kw<"where">(mask));
    }
    // A row with every key masked has maximum -inf; shifting it by 0 instead keeps its
    // exponentials at exactly 0 (not NaN), and its sum of 0 is then divided as 1.
    const py::object row_max =
        vk::call(np_fn<"max">(), weights, kw<"axis">(-1), kw<"keepdims">(true), kw<"initial">(-std::numeric_limits<double>::infinity()));
    vk::call(np_fn<"copyto">(), row_max, 0.0, kw<"where">(vk::call(np_fn<"isneginf">(), row_max)));
    vk::call(np_fn<"subtract">(), weights, row_max, kw<"out">(weights));
    vk::call(np_fn<"exp">(), weights, kw<"out">(weights));
    const py::object row_sum = vk::call(np_fn<"sum">(), weights, kw<"axis">(-1), kw<"keepdims">(true));
    vk::call(np_fn<"copyto">(), row_sum, 1.0, kw<"where">(vk::call(np_fn<"equal">(), row_sum, 0.0)));
    vk::call(np_fn<"divide">(), weights, row_sum, kw<"out">(weights));

    vk::set_attr<"Q">(self, q);
    vk::set_attr<"K">(self, k);
    vk::set_attr<"V">(self, v);
    vk::set_attr<"mask">(self, mask);
    vk::set_attr<"scale">(self, py::float_(scale));
    vk::set_attr<"attention_weights">(self, weights);
    return vk::call(np_fn<"matmul">(), weights, v);
}

py::object backward(py::handle self, const vk::Args<"dLdA">& a) {
    const py::object weights = vk::attr<"attention_weights">(self);
    if (weights.is_none()) throw std::runtime_error("ScaledDotProductAttention.backward called before forward");
    const py::object q = vk::attr<"Q">(self);
    const py::object k = vk::attr<"K">(self);
    const py::object v = vk::attr<"V">(self);
    const py::object grad = vk::float_array(a.get<"dLdA">(), "dLdA");
    vk::Shape expected = vk::shape_of(q);
    expected.back() = vk::shape_of(v).back();
    if (vk::shape_of(grad) != expected)
        throw py::value_error("ScaledDotProductAttention.backward: dLdA must have the shape of the latest output " +
                              vk::shape_text(expected) + ", got " + vk::shape_text(vk::shape_of(grad)));

    const py::object d_v = vk::call(np_fn<"matmul">(), swap_last(weights), grad);
    // Softmax backward, row by row: dS = A * (dA - sum(dA * A)). Masked and fully masked
    // entries have A = 0, so their gradient is exactly 0.
    const py::object d_scores = vk::call(np_fn<"matmul">(), grad, swap_last(v));
    const py::object weighted = vk::call(np_fn<"multiply">(), d_scores, weights);
    const py::object row_dot = vk::call(np_fn<"sum">(), weighted, kw<"axis">(-1), kw<"keepdims">(true));
    vk::call(np_fn<"subtract">(), d_scores, row_dot, kw<"out">(d_scores));
    vk::call(np_fn<"multiply">(), d_scores, weights, kw<"out">(d_scores));
    vk::call(np_fn<"multiply">(), d_scores, vk::attr<"scale">(self), kw<"out">(d_scores));
    const py::object d_q = vk::call(np_fn<"matmul">(), d_scores, k);
    const py::object d_k = vk::call(np_fn<"matmul">(), swap_last(d_scores), q);
    return py::make_tuple(d_q, d_k, d_v);
}

constexpr vk::Def kInit{"__init__", sdpa_init};
constexpr vk::Def kForward{"forward", forward,
                           "Returns softmax(Q @ K^T / sqrt(d)) @ V for Q (..., L, d), K (..., S, d), V (..., S, dv).\n\n"
                           "mask is a boolean array broadcastable to (..., L, S), True where a query may not attend a key;\n"
                           "None masks nothing. A query whose keys are all masked gets zero weights, so a zero output."};
constexpr vk::Def kBackward{"backward", backward, "Given dL/d(output) of the latest forward, returns (dL/dQ, dL/dK, dL/dV)."};

}  // namespace

PYBIND11_MODULE(scaled_dot_product_attention, m) {
    m.doc() = "Scaled dot-product attention on numpy arrays with an explicit backward pass.";
    vk::define_class<kInit, kForward, kBackward>(m, "ScaledDotProductAttention", vk::imported<"builtins", "object">(),
                                                 "Scaled dot-product attention with masking and a numerically stable softmax.");
}
