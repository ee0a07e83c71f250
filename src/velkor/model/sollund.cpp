// The speech front-end: turns padded filter-bank sequences (B, T, input_dim) and their lengths
// into embeddings (B, T', output_dim) with the new lengths, shortening time by an integer factor
// through time-strided convolutions, pooled bidirectional LSTMs, or both; by stacking consecutive
// frames into one (the cheapest); or by convolutions strided over time and frequency alike. Every
// block also maps input lengths to output lengths without running the network, so callers can
// size padding masks.
#include <vk/common.hpp>

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace {

namespace py = pybind11;
using vk::kw;

py::object floor_div(py::handle a, py::handle b) {
    PyObject* r = PyNumber_FloorDivide(a.ptr(), b.ptr());
    if (r == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(r);
}

// The two factors of n closest to its square root, the larger first: 6 -> (3, 2), 7 -> (7, 1).
std::pair<long long, long long> closest_factors(long long n) {
    // Zero would be divided by, and a negative number has no real square root to start from.
    if (n < 1) throw py::value_error(vk::text("Time reduction must be a positive integer to be split into factors, got ", n));
    long long factor = static_cast<long long>(std::pow(static_cast<double>(n), 0.5));
    // Up to ~3e9 trial divisions for a large prime: let Ctrl-C through now and then.
    for (long long tried = 1; n % factor != 0; ++tried) {
        --factor;
        if (tried % (1 << 22) == 0 && PyErr_CheckSignals() != 0) throw py::error_already_set();
    }
    const long long other = n / factor;
    return {std::max(factor, other), std::min(factor, other)};
}

py::object closest_factors_method(py::handle, const vk::Args<"n">& a) {
    const auto [larger, smaller] = closest_factors(a.integer<"n">());
    return py::make_tuple(larger, smaller);
}

void check_dimensions(std::initializer_list<long long> dimensions, double dropout) {
    if (!std::all_of(dimensions.begin(), dimensions.end(), [](long long d) { return d > 0; }))
        throw py::value_error("All dimension values must be positive");
    if (!(dropout >= 0.0 && dropout < 1.0)) throw py::value_error("Dropout rate must be between 0 and 1");
}

// ---- Conv2DSubsampling ------------------------------------------------------------------

// Two unpadded convolutions of the stored kernel size: L <- (L - (kernel_size - 1) - 1) // stride + 1,
// once per stride. Works on length tensors and on plain integers (the frequency width).
py::object conv_lengths(py::handle self, py::handle lengths, py::handle stride1, py::handle stride2) {
    vk::exact_int(stride1, "stride1");
    vk::exact_int(stride2, "stride2");
    const py::object kernel_size = vk::attr<"kernel_size">(self);
    const py::int_ one(1);
    // L - (kernel_size - 1) - 1 is L - kernel_size: one tensor operation instead of two.
    py::object l = floor_div(py::reinterpret_borrow<py::object>(lengths) - kernel_size, stride1) + one;
    return floor_div(l - kernel_size, stride2) + one;
}

py::object conv_calculate_downsampled_length(py::handle self, const vk::Args<"lengths, stride1, stride2">& a) {
    return conv_lengths(self, a.get<"lengths">(), a.get<"stride1">(), a.get<"stride2">());
}

py::object conv_init(py::handle self, const vk::Args<"input_dim, output_dim, dropout=0.0, time_reduction=2, kernel_size=3">& a) {
    const py::int_ input_dim(a.integer<"input_dim">());
    const long long output_dim = a.integer<"output_dim">();
    const double dropout = a.real<"dropout">();
    const long long time_reduction = a.integer<"time_reduction">();
    const long long kernel_size = a.integer<"kernel_size">();
    vk::init_module(self);
    vk::set_attr<"kernel_size">(self, py::int_(kernel_size));
    const auto [stride1, stride2] = closest_factors(time_reduction);
    vk::set_attr<"time_stride1">(self, py::int_(stride1));
    vk::set_attr<"time_stride2">(self, py::int_(stride2));

    // Time is the height and frequency the width of a one-channel image; only time is strided.
    const py::handle conv2d = vk::imported<"torch.nn", "Conv2d">();
    const py::handle gelu = vk::imported<"torch.nn", "GELU">();
    vk::set_attr<"conv">(
        self, vk::call(vk::imported<"torch.nn", "Sequential">(),
                       vk::call(conv2d, 1, output_dim, kernel_size, kw<"stride">(py::make_tuple(stride1, 1))), vk::call(gelu),
                       vk::call(conv2d, output_dim, output_dim, kernel_size, kw<"stride">(py::make_tuple(stride2, 1))), vk::call(gelu)));
    const py::int_ unit(1);
    const py::object frequency_width = conv_lengths(self, input_dim, unit, unit);
    const py::object linear_in_dim = py::int_(output_dim) * frequency_width;
    vk::set_attr<"linear_out">(self, vk::call(vk::imported<"torch.nn", "Linear">(), linear_in_dim, output_dim));
    vk::set_attr<"dropout">(self, vk::call(vk::imported<"torch.nn", "Dropout">(), dropout));
    return py::none();
}

py::object conv_forward(py::handle self, const vk::Args<"x, x_len">& a) {
    const py::object features = vk::call_module_attr<"conv">(self, vk::call_method<"unsqueeze">(a.get<"x">(), 1));
    const auto [batch, channels, time, width] = vk::unpack<4>(vk::call_method<"size">(features));
    // Channel-major inside each frame: (B, C, T', F') -> (B, T', C * F').
    const py::object frames =
        vk::call_method<"view">(vk::call_method<"contiguous">(vk::call_method<"transpose">(features, 1, 2)), batch, time, channels * width);
    const py::object x = vk::call_module_attr<"dropout">(self, vk::call_module_attr<"linear_out">(self, frames));
    const py::object x_len = conv_lengths(self, a.get<"x_len">(), vk::attr<"time_stride1">(self), vk::attr<"time_stride2">(self));
    return py::make_tuple(x, x_len);
}

// ---- StackedBLSTMEmbedding --------------------------------------------------------------

// One pooling layer's length rule, as 64-bit integers.
py::object pool_lengths(py::handle lengths, py::handle pool_params) {
    const py::dict params = vk::exact_dict(pool_params, "pool_params");
    if (PyObject_IsInstance(lengths.ptr(), vk::imported<"torch", "Tensor">().ptr()) != 1) {
        if (PyErr_Occurred()) throw py::error_already_set();
        vk::raise_arg_type("L_in", "Tensor", lengths);
    }
    const py::object kernel_size = params["kernel_size"];
    const py::object stride = params["stride"];
    const py::object padding = params["padding"];
    const py::object dilation = params["dilation"];
    const py::int_ one(1), two(2);
    // The scalar part of L + 2*padding - dilation*(kernel_size - 1) - 1, summed before touching the tensor.
    const py::object offset = two * padding - dilation * (kernel_size - one) - one;
    return vk::call_method<"long">(floor_div(py::reinterpret_borrow<py::object>(lengths) + offset, stride) + one);
}

py::object blstm_calculate_pool_output_length(py::handle, const vk::Args<"L_in, pool_params">& a) {
    return pool_lengths(a.get<"L_in">(), a.get<"pool_params">());
}

py::object blstm_calculate_downsampled_length(py::handle self, const vk::Args<"lengths">& a) {
    return pool_lengths(pool_lengths(a.get<"lengths">(), vk::attr<"pool1_params">(self)), vk::attr<"pool2_params">(self));
}

py::dict pool_params(long long stride) {
    py::dict params;
    params["kernel_size"] = stride;
    params["stride"] = stride;
    params["padding"] = 0;
    params["dilation"] = 1;
    return params;
}

py::object blstm_init(py::handle self, const vk::Args<"input_dim, hidden_dim, output_dim, time_reduction=2, dropout=0.1">& a) {
    const long long input_dim = a.integer<"input_dim">();
    const long long hidden_dim = a.integer<"hidden_dim">();
    const long long output_dim = a.integer<"output_dim">();
    const long long time_reduction = a.integer<"time_reduction">();
    const double dropout = a.real<"dropout">();
    vk::init_module(self);
    check_dimensions({input_dim, hidden_dim, output_dim, time_reduction}, dropout);

    const auto [stride1, stride2] = closest_factors(time_reduction);
    vk::set_attr<"stride1">(self, py::int_(stride1));
    vk::set_attr<"stride2">(self, py::int_(stride2));
    const py::dict pool1_params = pool_params(stride1);
    const py::dict pool2_params = pool_params(stride2);
    vk::set_attr<"pool1_params">(self, pool1_params);
    vk::set_attr<"pool2_params">(self, pool2_params);

    const py::handle lstm = vk::imported<"torch.nn", "LSTM">();
    const auto bidirectional = [&](long long in_features) {
        return vk::call(lstm, in_features, hidden_dim / 2, kw<"num_layers">(1), kw<"batch_first">(true), kw<"bidirectional">(true));
    };
    vk::set_attr<"blstm1">(self, bidirectional(input_dim));
    vk::set_attr<"blstm2">(self, bidirectional(hidden_dim));
    const py::handle max_pool = vk::imported<"torch.nn", "MaxPool1d">();
    vk::set_attr<"pool1">(self, max_pool(**pool1_params));
    vk::set_attr<"pool2">(self, max_pool(**pool2_params));
    vk::set_attr<"linear_embed">(self, vk::call(vk::imported<"torch.nn", "Linear">(), hidden_dim, output_dim));
    vk::set_attr<"dropout">(self, vk::call(vk::imported<"torch.nn", "Dropout">(), dropout));
    return py::none();
}

// Whether `lstm` may be run by bidirectional_lstm below: a plain one-layer, batch-first,
// bidirectional nn.LSTM on the CPU that nothing observes through hooks (a summary that hooks it
// sees it called as usual).
bool direct_lstm(py::handle lstm, py::handle x) {
    if (Py_TYPE(lstm.ptr()) != reinterpret_cast<PyTypeObject*>(vk::imported<"torch.nn", "LSTM">().ptr())) return false;
    if (!vk::truthy(vk::attr<"is_cpu">(x)) || py::cast<long long>(vk::attr<"ndim">(x)) != 3) return false;
    if (py::cast<long long>(vk::attr<"num_layers">(lstm)) != 1 || !vk::truthy(vk::attr<"bidirectional">(lstm)) ||
        !vk::truthy(vk::attr<"batch_first">(lstm)) || py::cast<long long>(vk::attr<"proj_size">(lstm)) != 0)
        return false;
    for (const char* hooks : {"_forward_hooks", "_forward_pre_hooks", "_backward_hooks", "_backward_pre_hooks"}) {
        PyObject* table = PyObject_GetAttrString(lstm.ptr(), hooks);
        if (table == nullptr) {
            PyErr_Clear();
            continue;
        }
        const Py_ssize_t n = PyObject_Length(table);
        Py_DECREF(table);
        if (n != 0) {
            PyErr_Clear();
            return false;
        }
    }
    const py::handle registry = vk::imported<"torch.nn.modules.module">();
    for (const char* hooks :
         {"_global_forward_hooks", "_global_forward_pre_hooks", "_global_backward_hooks", "_global_backward_pre_hooks"}) {
        PyObject* table = PyObject_GetAttrString(registry.ptr(), hooks);
        if (table == nullptr) {
            PyErr_Clear();
            continue;
        }
        const Py_ssize_t n = PyObject_Length(table);
        Py_DECREF(table);
        if (n != 0) {
            PyErr_Clear();
            return false;
        }
    }
    return true;
}

// One direction of `lstm` over the whole padded batch (B, T, F) from zero states.
py::object lstm_direction(py::handle lstm, py::handle x, bool reverse) {
    const std::string suffix = reverse ? "_l0_reverse" : "_l0";
    py::list params;
    params.append(py::getattr(lstm, ("weight_ih" + suffix).c_str()));
    params.append(py::getattr(lstm, ("weight_hh" + suffix).c_str()));
    const bool bias = vk::truthy(vk::attr<"bias">(lstm));
    if (bias) {
        params.append(py::getattr(lstm, ("bias_ih" + suffix).c_str()));
        params.append(py::getattr(lstm, ("bias_hh" + suffix).c_str()));
    }
    const py::object zeros = vk::call(vk::imported<"torch", "zeros">(), 1, vk::call_method<"size">(x, 0), vk::attr<"hidden_size">(lstm),
                                      kw<"dtype">(vk::attr<"dtype">(x)), kw<"device">(vk::attr<"device">(x)));
    py::list state;
    state.append(zeros);
    state.append(zeros);
    const py::object out =
        vk::call(vk::imported<"torch", "lstm">(), x, state, params, py::bool_(bias), 1, 0.0, vk::attr<"training">(lstm), false, true);
    return py::reinterpret_borrow<py::tuple>(out)[0];
}

// The bidirectional LSTM over a padded batch with lengths (B) on the CPU, the same function as
// packing, running the module and unpacking (zeros past each length), but without packing: the
// CPU's packed recurrence takes one slice of the whole packed input per time step, and the
// backward pass of each slice fills and adds a tensor of the whole input, so a step's cost grew
// with the square of the utterance length. The forward direction runs over the padded rows as
// they are (padding comes after every real frame); the reverse direction runs over each row
// reversed within its length, and its outputs are reversed back. None when the lengths are not
// all within [1, T]: packing then raises its own error.
py::object bidirectional_lstm(py::handle lstm, py::handle x, py::handle x_len) {
    const py::handle torch = vk::torch();
    const py::object time = vk::call_method<"size">(x, 1);
    const py::object lengths = vk::call_method<"to">(vk::call_method<"cpu">(x_len), vk::imported<"torch", "int64">());
    if (py::cast<long long>(vk::call_method<"dim">(lengths)) != 1) return py::none();
    const long long rows = py::cast<long long>(vk::call_method<"numel">(lengths));
    if (rows == 0 || rows != py::cast<long long>(vk::call_method<"size">(x, 0))) return py::none();
    const long long shortest = py::cast<long long>(vk::call_method<"item">(vk::call_method<"min">(lengths)));
    const long long longest = py::cast<long long>(vk::call_method<"item">(vk::call_method<"max">(lengths)));
    if (shortest < 1 || longest > py::cast<long long>(time)) return py::none();

    const py::object positions = vk::call_method<"unsqueeze">(vk::call(vk::attr<"arange">(torch), time), 0);  // (1, T)
    const py::object ends = vk::call_method<"unsqueeze">(lengths, 1);                                         // (B, 1)
    const py::object valid = vk::call_method<"lt">(positions, ends);                                          // (B, T)
    // Position t of a reversed row reads frame length - 1 - t; padding stays where it is.
    const py::object reversed_at =
        vk::call(vk::attr<"where">(torch), valid, vk::call_method<"sub">(vk::call_method<"sub">(ends, 1), positions), positions);
    const auto along_time = [&](py::handle t) {
        const py::object index =
            vk::call_method<"expand">(vk::call_method<"unsqueeze">(reversed_at, 2), -1, -1, vk::call_method<"size">(t, 2));
        return vk::call_method<"gather">(t, 1, index);
    };
    const py::object forward = lstm_direction(lstm, x, false);
    const py::object backward = along_time(lstm_direction(lstm, along_time(x), true));
    py::list halves;
    halves.append(forward);
    halves.append(backward);
    const py::object both = vk::call(vk::attr<"cat">(torch), halves, kw<"dim">(2));
    return vk::call_method<"masked_fill">(both, vk::call_method<"unsqueeze">(vk::call_method<"logical_not">(valid), 2), 0.0);
}

// One recurrent stage: the LSTM over the padded batch (through packing, or its equivalent above),
// pooling over time, and the lengths shortened by the same rule.
template <vk::Lit Lstm, vk::Lit Pool, vk::Lit Params>
std::pair<py::object, py::object> blstm_stage(py::handle self, py::handle x, py::handle x_len) {
    const py::object lstm = vk::module_attr<Lstm>(self);
    py::object padded = direct_lstm(lstm, x) ? bidirectional_lstm(lstm, x, x_len) : py::none();
    if (padded.is_none()) {
        const py::object total_length = vk::call_method<"size">(x, 1);
        const py::object packed = vk::call(vk::imported<"torch.nn.utils.rnn", "pack_padded_sequence">(), x, vk::call_method<"cpu">(x_len),
                                           kw<"batch_first">(true), kw<"enforce_sorted">(false));
        const auto [output, hidden] = vk::unpack<2>(vk::call(lstm, packed));
        padded = vk::unpack<2>(vk::call(vk::imported<"torch.nn.utils.rnn", "pad_packed_sequence">(), output, kw<"batch_first">(true),
                                        kw<"total_length">(total_length)))[0];
    }
    const py::object pooled = vk::call_module_attr<Pool>(self, vk::call_method<"transpose">(padded, 1, 2));
    return {vk::call_method<"transpose">(pooled, 1, 2), pool_lengths(x_len, vk::attr<Params>(self))};
}

py::object blstm_forward(py::handle self, const vk::Args<"x, x_len">& a) {
    const auto [x1, len1] = blstm_stage<"blstm1", "pool1", "pool1_params">(self, a.get<"x">(), a.get<"x_len">());
    const auto [x2, len2] = blstm_stage<"blstm2", "pool2", "pool2_params">(self, x1, len1);
    const py::object x = vk::call_module_attr<"dropout">(self, vk::call_module_attr<"linear_embed">(self, x2));
    return py::make_tuple(x, len2);
}

// ---- FrameStacking ----------------------------------------------------------------------

// ceil(L / time_reduction): a last, incomplete group of frames still makes one output frame.
py::object stacked_lengths(py::handle self, py::handle lengths) {
    const py::object r = vk::attr<"time_reduction">(self);
    return floor_div(py::reinterpret_borrow<py::object>(lengths) + r - py::int_(1), r);
}

py::object stack_calculate_downsampled_length(py::handle self, const vk::Args<"lengths">& a) {
    return stacked_lengths(self, a.get<"lengths">());
}

// The arguments the stack and conv2d front-ends share, read and checked, with the module set up.
using ReductionInitArgs = vk::Args<"input_dim, output_dim, time_reduction=4, dropout=0.0">;
struct ReductionSizes {
    long long input_dim, output_dim, time_reduction;
    double dropout;
};

ReductionSizes start_reduction(py::handle self, const ReductionInitArgs& a) {
    const ReductionSizes s{a.integer<"input_dim">(), a.integer<"output_dim">(), a.integer<"time_reduction">(), a.real<"dropout">()};
    vk::init_module(self);
    check_dimensions({s.input_dim, s.output_dim, s.time_reduction}, s.dropout);
    return s;
}

py::object stack_init(py::handle self, const ReductionInitArgs& a) {
    const auto [input_dim, output_dim, time_reduction, dropout] = start_reduction(self, a);
    vk::set_attr<"time_reduction">(self, py::int_(time_reduction));
    vk::set_attr<"linear">(self, vk::call(vk::imported<"torch.nn", "Linear">(), time_reduction * input_dim, output_dim));
    vk::set_attr<"dropout">(self, vk::call(vk::imported<"torch.nn", "Dropout">(), dropout));
    return py::none();
}

// Frames past each length are zeroed first, so that what pads a batch never reaches an output
// frame: an utterance gives the same frames alone as in any batch.
py::object stack_forward(py::handle self, const vk::Args<"x, x_len">& a) {
    const py::handle x = a.get<"x">();
    const py::handle x_len = a.get<"x_len">();
    const auto [batch, time, features] = vk::unpack<3>(vk::call_method<"size">(x));
    const long long r = py::cast<long long>(vk::attr<"time_reduction">(self));
    const long long frames = py::cast<long long>(time);
    const long long groups = frames / r + (frames % r != 0 ? 1 : 0);
    const py::object positions = vk::call(vk::imported<"torch", "arange">(), time, kw<"device">(vk::attr<"device">(x)));
    const py::object lengths = vk::call_method<"to">(x_len, vk::attr<"device">(x));
    const py::object padding = vk::call_method<"ge">(vk::call_method<"unsqueeze">(positions, 0), vk::call_method<"unsqueeze">(lengths, 1));
    py::object clean = vk::call_method<"masked_fill">(x, vk::call_method<"unsqueeze">(padding, 2), 0.0);
    if (groups * r != frames)
        clean = vk::call(vk::imported<"torch.nn.functional", "pad">(), clean, py::make_tuple(0, 0, 0, groups * r - frames));
    const py::object stacked = vk::call_method<"reshape">(clean, batch, groups, py::int_(r) * features);
    const py::object out = vk::call_module_attr<"dropout">(self, vk::call_module_attr<"linear">(self, stacked));
    return py::make_tuple(out, stacked_lengths(self, x_len));
}

// ---- TimeFrequencySubsampling -----------------------------------------------------------

// (kernel, stride) of each unpadded convolution, the same over time and frequency.
py::list conv2d_layers(long long time_reduction) {
    py::list layers;
    const auto add = [&](long long kernel, long long stride) { layers.append(py::make_tuple(kernel, stride)); };
    switch (time_reduction) {
        case 2:
            add(3, 2), add(3, 1);
            break;
        case 4:
            add(3, 2), add(3, 2);
            break;
        case 6:
            add(3, 2), add(5, 3);
            break;
        case 8:
            add(3, 2), add(3, 2), add(3, 2);
            break;
        default:
            throw py::value_error(vk::text("conv2d subsampling reduces time by 2, 4, 6 or 8, got time_reduction ", time_reduction));
    }
    return layers;
}

// L <- (L - kernel) // stride + 1 for each convolution, never below 0; tensors or plain integers.
py::object time_frequency_lengths(py::handle self, py::handle lengths) {
    py::object l = py::reinterpret_borrow<py::object>(lengths);
    for (const py::handle layer : vk::attr<"layers">(self)) {
        const py::tuple ks = py::reinterpret_borrow<py::tuple>(layer);
        l = floor_div(l - py::object(ks[0]), py::object(ks[1])) + py::int_(1);
    }
    if (vk::is_tensor(l)) return vk::call_method<"clamp">(l, kw<"min">(0));
    return py::int_(std::max(0LL, vk::as_index(l)));
}

py::object time_frequency_calculate_downsampled_length(py::handle self, const vk::Args<"lengths">& a) {
    return time_frequency_lengths(self, a.get<"lengths">());
}

py::object time_frequency_init(py::handle self, const ReductionInitArgs& a) {
    const auto [input_dim, output_dim, time_reduction, dropout] = start_reduction(self, a);
    const py::list layers = conv2d_layers(time_reduction);
    vk::set_attr<"time_reduction">(self, py::int_(time_reduction));
    vk::set_attr<"layers">(self, py::tuple(layers));
    const long long width = py::cast<long long>(time_frequency_lengths(self, py::int_(input_dim)));
    if (width < 1)
        throw py::value_error(vk::text("conv2d subsampling by ", time_reduction, " leaves no frequency bins of input_dim ", input_dim));

    // Time is the height and frequency the width of a one-channel image.
    const py::handle conv2d = vk::imported<"torch.nn", "Conv2d">();
    const py::handle relu = vk::imported<"torch.nn", "ReLU">();
    py::list modules;
    long long channels = 1;
    for (const py::handle layer : layers) {
        const py::tuple ks = py::reinterpret_borrow<py::tuple>(layer);
        modules.append(vk::call(conv2d, channels, output_dim, py::object(ks[0]), kw<"stride">(py::object(ks[1]))));
        modules.append(vk::call(relu));
        channels = output_dim;
    }
    vk::set_attr<"conv">(self, vk::imported<"torch.nn", "Sequential">()(*modules));
    vk::set_attr<"linear_out">(self, vk::call(vk::imported<"torch.nn", "Linear">(), output_dim * width, output_dim));
    vk::set_attr<"dropout">(self, vk::call(vk::imported<"torch.nn", "Dropout">(), dropout));
    return py::none();
}

py::object time_frequency_forward(py::handle self, const vk::Args<"x, x_len">& a) {
    const py::object features = vk::call_module_attr<"conv">(self, vk::call_method<"unsqueeze">(a.get<"x">(), 1));
    const auto [batch, channels, time, width] = vk::unpack<4>(vk::call_method<"size">(features));
    // Channel-major inside each frame: (B, C, T', F') -> (B, T', C * F').
    const py::object frames = vk::call_method<"reshape">(vk::call_method<"transpose">(features, 1, 2), batch, time, channels * width);
    const py::object x = vk::call_module_attr<"dropout">(self, vk::call_module_attr<"linear_out">(self, frames));
    return py::make_tuple(x, time_frequency_lengths(self, a.get<"x_len">()));
}

// ---- SpeechEmbedding --------------------------------------------------------------------

using SpeechInitArgs = vk::Args<"input_dim, output_dim, time_reduction=6, reduction_method='lstm', dropout=0.0">;
py::object speech_init(py::handle self, const SpeechInitArgs& a) {
    const long long input_dim = a.integer<"input_dim">();
    const long long output_dim = a.integer<"output_dim">();
    const long long time_reduction = a.integer<"time_reduction">();
    const std::string method = a.text<"reduction_method">();
    const double dropout = a.real<"dropout">();
    vk::init_module(self);
    check_dimensions({input_dim, output_dim, time_reduction}, dropout);
    const bool conv = method == "conv" || method == "both";
    const bool lstm = method == "lstm" || method == "both";
    const bool single = method == "stack" || method == "conv2d";
    if (!conv && !lstm && !single) throw py::value_error("reduction_method must be 'conv', 'lstm', 'both', 'stack', or 'conv2d'");
    const py::int_ input(input_dim), output(output_dim);
    vk::set_attr<"embedding_dim">(self, output);
    vk::set_attr<"reduction_method">(self, a.get<"reduction_method">());

    // With both stages the convolution takes the larger factor: 6 -> conv 3, LSTM 2.
    std::pair<long long, long long> split{time_reduction, 1};
    if (method == "lstm") split = {1, time_reduction};
    if (method == "both") split = closest_factors(time_reduction);
    const auto [conv_reduction, lstm_reduction] = split;

    vk::set_attr<"cnn">(self, py::none());
    vk::set_attr<"blstm">(self, py::none());
    vk::set_attr<"subsampling">(self, py::none());
    const py::float_ rate(dropout);
    if (conv)
        vk::set_attr<"cnn">(self, vk::call(vk::imported<"velkor.model.sollund", "Conv2DSubsampling">(), input, output, kw<"dropout">(rate),
                                           kw<"time_reduction">(conv_reduction)));
    if (lstm)
        vk::set_attr<"blstm">(
            self, vk::call(vk::imported<"velkor.model.sollund", "StackedBLSTMEmbedding">(), kw<"input_dim">(conv ? output : input),
                           kw<"hidden_dim">(output), kw<"output_dim">(output), kw<"time_reduction">(lstm_reduction), kw<"dropout">(rate)));
    if (single) {
        const py::handle cls = method == "stack" ? vk::imported<"velkor.model.sollund", "FrameStacking">()
                                                 : vk::imported<"velkor.model.sollund", "TimeFrequencySubsampling">();
        vk::set_attr<"subsampling">(self, vk::call(cls, input, output, kw<"time_reduction">(time_reduction), kw<"dropout">(rate)));
    }
    return py::none();
}

// The stand-alone stage, None for the other methods (and for a front-end saved before it existed).
py::object subsampling_stage(py::handle self) {
    PyObject* stage = PyObject_GetAttrString(self.ptr(), "subsampling");
    if (stage == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
        PyErr_Clear();
        return py::none();
    }
    return py::reinterpret_steal<py::object>(stage);
}

py::object speech_forward(py::handle self, const vk::Args<"x, x_len">& a) {
    py::object x = py::reinterpret_borrow<py::object>(a.get<"x">());
    py::object x_len = py::reinterpret_borrow<py::object>(a.get<"x_len">());
    for (const py::object& stage : {vk::module_attr<"cnn">(self), vk::module_attr<"blstm">(self), subsampling_stage(self)}) {
        if (stage.is_none()) continue;
        auto out = vk::unpack<2>(vk::call(stage, x, x_len));
        x = std::move(out[0]);
        x_len = std::move(out[1]);
    }
    return py::make_tuple(x, x_len);
}

py::object speech_calculate_downsampled_length(py::handle self, const vk::Args<"lengths">& a) {
    py::object lengths = py::reinterpret_borrow<py::object>(a.get<"lengths">());
    if (const py::object cnn = vk::module_attr<"cnn">(self); !cnn.is_none())
        lengths =
            vk::call_method<"calculate_downsampled_length">(cnn, lengths, vk::attr<"time_stride1">(cnn), vk::attr<"time_stride2">(cnn));
    if (const py::object blstm = vk::module_attr<"blstm">(self); !blstm.is_none())
        lengths = vk::call_method<"calculate_downsampled_length">(blstm, lengths);
    if (const py::object stage = subsampling_stage(self); !stage.is_none())
        lengths = vk::call_method<"calculate_downsampled_length">(stage, lengths);
    return lengths;
}

// ---- Demonstrations -------------------------------------------------------------------------

py::object get_inputs(py::handle, const vk::Args<"input_dim, max_length, batch_size">& a) {
    const long long input_dim = a.integer<"input_dim">();
    const long long max_length = a.integer<"max_length">();
    const long long batch_size = a.integer<"batch_size">();
    const py::handle torch = vk::torch();
    const py::object input_data = vk::call(vk::attr<"randn">(torch), batch_size, max_length, input_dim);
    const py::object input_lengths = vk::call(vk::attr<"ones">(torch), batch_size) * py::int_(max_length);
    return py::make_tuple(input_data, input_lengths);
}

// Builds the front-end for one reduction method, prints its summary, runs it on 10 utterances
// of 1000 frames and prints the shortened lengths.
template <vk::Lit Method>
py::object demonstrate(py::handle, const vk::Args<"time_reduction=2">& a) {
    const py::handle module = vk::imported<"velkor.model.sollund">();
    const auto [inputs, lengths] = vk::unpack<2>(vk::call(vk::attr<"get_inputs">(module), 80, 1000, 10));
    const py::object model = vk::call(vk::attr<"SpeechEmbedding">(module), 80, 256, kw<"time_reduction">(a.get<"time_reduction">()),
                                      kw<"reduction_method">(Method.text), kw<"dropout">(0.1));
    py::list input_data;
    input_data.append(inputs);
    input_data.append(lengths);
    vk::call(vk::imported<"torchinfo", "summary">(), model, kw<"input_data">(input_data));
    const auto [output, output_lengths] = vk::unpack<2>(vk::call(model, inputs, lengths));
    vk::println(output_lengths);
    return py::none();
}

// Shared by the three classes; argument errors name the class it is called through.
constexpr vk::Def kClosestFactors{"closest_factors", closest_factors_method,
                                  "Returns the two factors of n closest to its square root, the larger first: 6 -> (3, 2)."};

constexpr vk::Def kConvInit{"__init__", conv_init};
constexpr vk::Def kConvForward{"forward", conv_forward, "Returns (embeddings (B, T', output_dim), lengths after both convolutions)."};
constexpr vk::Def kConvLengths{
    "calculate_downsampled_length", conv_calculate_downsampled_length,
    "Applies L <- (L - (kernel_size - 1) - 1) // stride + 1 with stride1, then stride2; lengths may be a tensor or an int."};

constexpr vk::Def kBlstmInit{"__init__", blstm_init};
constexpr vk::Def kBlstmForward{"forward", blstm_forward, "Returns (embeddings (B, T', output_dim), pooled lengths as 64-bit integers)."};
constexpr vk::Def kPoolLength{"calculate_pool_output_length", blstm_calculate_pool_output_length,
                              "Pooling length rule (L_in + 2*padding - dilation*(kernel_size - 1) - 1) // stride + 1, as 64-bit integers."};
constexpr vk::Def kBlstmLengths{"calculate_downsampled_length", blstm_calculate_downsampled_length, "Lengths after both pooling layers."};

constexpr vk::Def kStackInit{"__init__", stack_init};
constexpr vk::Def kStackForward{"forward", stack_forward,
                                "Returns (embeddings (B, ceil(T / time_reduction), output_dim), lengths ceil(L / time_reduction))."};
constexpr vk::Def kStackLengths{"calculate_downsampled_length", stack_calculate_downsampled_length,
                                "ceil(L / time_reduction); lengths may be a tensor or an int."};

constexpr vk::Def kTimeFrequencyInit{"__init__", time_frequency_init};
constexpr vk::Def kTimeFrequencyForward{"forward", time_frequency_forward,
                                        "Returns (embeddings (B, T', output_dim), lengths after the convolutions)."};
constexpr vk::Def kTimeFrequencyLengths{
    "calculate_downsampled_length", time_frequency_calculate_downsampled_length,
    "Applies L <- (L - kernel) // stride + 1 for each convolution in `layers`, never below 0; lengths may be a tensor or an int."};

constexpr vk::Def kSpeechInit{"__init__", speech_init};
constexpr vk::Def kSpeechForward{"forward", speech_forward, "Returns (embeddings (B, T', output_dim), new lengths (B))."};
constexpr vk::Def kSpeechLengths{"calculate_downsampled_length", speech_calculate_downsampled_length,
                                 "Lengths after the front-end, computed without running it (for sizing encoder padding masks)."};

constexpr vk::Def kGetInputs{"get_inputs", get_inputs,
                             "Returns (standard-normal features (batch_size, max_length, input_dim), lengths all max_length)."};
constexpr vk::Def kTestLstm{"test_sollund_lstm", demonstrate<"lstm">,
                            "Summarises and runs a SpeechEmbedding with reduction_method 'lstm', printing the output lengths."};
constexpr vk::Def kTestConv{"test_sollund_conv", demonstrate<"conv">,
                            "Summarises and runs a SpeechEmbedding with reduction_method 'conv', printing the output lengths."};
constexpr vk::Def kTestBoth{"test_sollund_both", demonstrate<"both">,
                            "Summarises and runs a SpeechEmbedding with reduction_method 'both', printing the output lengths."};

}  // namespace

PYBIND11_MODULE(sollund, m) {
    m.doc() = "Speech front-end: filter-bank features to shortened embedding sequences.";
    vk::define_module_class<kConvInit, kConvForward, kClosestFactors, kConvLengths>(
        m, "Conv2DSubsampling", "Two time-strided 2-D convolutions over (time, frequency), then a linear projection.");
    vk::define_module_class<kBlstmInit, kBlstmForward, kClosestFactors, kPoolLength, kBlstmLengths>(
        m, "StackedBLSTMEmbedding", "Two bidirectional LSTMs, each followed by max-pooling over time, then a linear projection.");
    vk::define_module_class<kStackInit, kStackForward, kStackLengths>(
        m, "FrameStacking", "Stacks time_reduction consecutive frames into one and projects them linearly.");
    vk::define_module_class<kTimeFrequencyInit, kTimeFrequencyForward, kTimeFrequencyLengths>(
        m, "TimeFrequencySubsampling",
        "Strided 2-D convolutions with ReLU over (time, frequency), subsampling both, then a linear projection.");
    vk::define_module_class<kSpeechInit, kSpeechForward, kClosestFactors, kSpeechLengths>(
        m, "SpeechEmbedding",
        "Speech front-end: convolutional and/or recurrent time reduction, frame stacking, or time-frequency convolutional\n"
        "subsampling of filter-bank features.");
    vk::define_functions<kGetInputs, kTestLstm, kTestConv, kTestBoth>(m);
}
