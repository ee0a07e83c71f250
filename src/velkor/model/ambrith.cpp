// Sinusoidal positional encoding: a fixed (1, max_len, d_model) table, built once and kept as
// the buffer `pe` (saved with the state dict, moved with the module), added to the first T
// positions of a batch-first input. No parameters, no dropout, no input scaling.
#include <vk/common.hpp>

#include <cmath>
#include <optional>

namespace {

namespace py = pybind11;

using TableArgs = vk::Args<"d_model, max_len">;

py::object positional_encoding_init(py::handle self, const TableArgs& a) {
    vk::init_module(self);
    // Through the method, so that a subclass may build its own table.
    vk::call_method<"create_pe_table">(self, a.get<"d_model">(), a.get<"max_len">());
    return py::none();
}

// Columns 2i hold sin(p * div_term[i]), columns 2i+1 the cosine of the same argument.
py::object create_pe_table(py::handle self, const TableArgs& a) {
    const long long d_model = a.integer<"d_model">();
    const long long max_len = a.integer<"max_len">();
    if (d_model % 2 != 0) vk::println("Warning: d_model=", d_model, " is odd. Positional Encoding assumes d_model is even.");
    // The frequency scale divides by d_model: refuse what would divide by zero or count backwards.
    if (d_model < 1) throw py::value_error(vk::text("d_model must be positive, got ", d_model));

    const py::handle torch = vk::torch();
    const py::object position = vk::call_method<"unsqueeze">(vk::call(vk::attr<"arange">(torch), max_len), 1);
    const py::object steps = vk::call_method<"float">(vk::call(vk::attr<"arange">(torch), 0, d_model, 2));
    const py::object div_term = vk::call(vk::attr<"exp">(torch), steps * py::float_(-std::log(10000.0) / static_cast<double>(d_model)));
    const py::object pe_argument = position * div_term;
    const py::object pe = vk::call(vk::attr<"zeros">(torch), max_len, d_model);

    const py::slice all(std::nullopt, std::nullopt, std::nullopt);
    const py::object even_columns = py::make_tuple(all, py::slice(0, std::nullopt, 2));
    const py::object odd_columns = py::make_tuple(all, py::slice(1, std::nullopt, 2));
    pe[even_columns] = vk::call(vk::attr<"sin">(torch), pe_argument);
    // An odd width has one cosine column fewer than sine columns: the last argument only gets
    // its sine, instead of the whole construction failing after the warning said it goes on.
    const py::object cos_argument = pe_argument[py::make_tuple(all, py::slice(std::nullopt, d_model / 2, std::nullopt))];
    pe[odd_columns] = vk::call(vk::attr<"cos">(torch), cos_argument);

    const py::object table = vk::call_method<"float">(vk::call_method<"unsqueeze">(pe, 0));
    vk::call_method<"register_buffer">(self, "pe", table);
    return py::none();
}

py::object positional_encoding_forward(py::handle self, const vk::Args<"x">& a) {
    const py::handle x = a.get<"x">();
    const py::object pe = vk::module_attr<"pe">(self);
    const long long seq_len = py::cast<long long>(vk::call_method<"size">(x, 1));
    const long long max_len = py::cast<long long>(vk::call_method<"size">(pe, 1));
    if (seq_len > max_len) throw py::value_error(vk::text("Sequence length ", seq_len, " exceeds the maximum length ", max_len));
    // pe[:, :seq_len] is a view of the buffer on the module's device: no copy, no transfer.
    static PyObject* const all = vk::keep(py::slice(std::nullopt, std::nullopt, std::nullopt));
    const py::tuple index = py::make_tuple(py::handle(all), py::slice(std::nullopt, seq_len, std::nullopt));
    return vk::add(x, pe[index]);
}

constexpr vk::Def kInit{"__init__", positional_encoding_init};
constexpr vk::Def kCreatePeTable{
    "create_pe_table", create_pe_table,
    "Builds the (1, max_len, d_model) sinusoidal table and registers it as the buffer `pe`, replacing any earlier one."};
constexpr vk::Def kForward{"forward", positional_encoding_forward,
                           "Returns x (B, T, d_model) plus the first T positions of `pe`, broadcast over the batch."};

}  // namespace

PYBIND11_MODULE(ambrith, m) {
    m.doc() = "Sinusoidal positional encoding.";
    vk::define_module_class<kInit, kCreatePeTable, kForward>(m, "PositionalEncoding",
                                                             "Adds a fixed sinusoidal position signal to batch-first embedding sequences.");
}
