// The text dataset: every transcript file of one partition read and tokenized at construction
// into decoder inputs (start id first) and targets (end id last), batched into the padded
// 3-tuple, with reproducible prompt sampling for generation checks.
#include <vk/common.hpp>
#include <vkdomain/corpus.hpp>

#include <pybind11/stl.h>

#include <algorithm>
#include <string>

namespace {

namespace py = pybind11;
using vk::kw;

py::object long_tensor(py::handle ids) {
    return vk::call(vk::attr<"tensor">(vk::torch()), ids, kw<"dtype">(vk::attr<"int64">(vk::torch())));
}

py::object pad(py::handle sequences, py::handle value) {
    return vk::call(vk::imported<"torch.nn.utils.rnn", "pad_sequence">(), sequences, kw<"batch_first">(true), kw<"padding_value">(value));
}

py::object lm_init(py::handle self, const vk::Args<"partition, config, tokenizer">& a) {
    const std::string partition = a.text<"partition">();
    const py::handle partition_name = a.get<"partition">();
    const py::dict config = a.dict<"config">();
    const py::handle tokenizer = a.get<"tokenizer">();
    // The dataset keys live in a "dataset" section when there is one.
    const py::object data_config = config.contains("dataset") ? py::object(config["dataset"]) : py::object(config);

    vk::set_attr<"config">(self, config);
    vk::set_attr<"partition">(self, partition_name);
    vk::set_attr<"tokenizer">(self, tokenizer);
    const py::object eos = vk::attr<"eos_id">(tokenizer), sos = vk::attr<"sos_id">(tokenizer);
    vk::set_attr<"eos_token">(self, eos);
    vk::set_attr<"sos_token">(self, sos);
    vk::set_attr<"pad_token">(self, vk::attr<"pad_id">(tokenizer));

    const py::object text_dir = vkdomain::corpus::path_join(data_config[py::str("root")], partition_name);
    const double subset =
        PyDict_Check(data_config.ptr()) ? vkdomain::corpus::subset_size(py::reinterpret_borrow<py::dict>(data_config)) : -1.0;
    const py::list text_files = vkdomain::corpus::cut(vkdomain::corpus::npy_files(text_dir), subset);
    vk::set_attr<"text_dir">(self, text_dir);
    vk::set_attr<"text_files">(self, text_files);

    py::list shifted, golden;
    vk::set_attr<"transcripts_shifted">(self, shifted);
    vk::set_attr<"transcripts_golden">(self, golden);
    for (const py::handle zero_attr : {vk::name<"total_chars">(), vk::name<"total_tokens">(), vk::name<"text_max_len">()})
        py::setattr(self, zero_attr, py::int_(0));

    vk::println("Loading transcripts for ", partition, " partition...");
    vkdomain::corpus::Transcripts transcripts(tokenizer, sos, eos, shifted, golden);
    for (const py::handle path : vk::progress(text_files)) transcripts.add_file(path);

    vk::set_attr<"total_chars">(self, py::int_(transcripts.total_chars));
    vk::set_attr<"total_tokens">(self, py::int_(transcripts.total_tokens));
    vk::set_attr<"text_max_len">(self, py::int_(transcripts.text_max_len));
    vk::set_attr<"avg_chars_per_token">(self, vkdomain::corpus::chars_per_token(transcripts.total_chars, transcripts.total_tokens));
    if (shifted.size() != golden.size()) throw py::value_error("Shifted and golden transcripts are misaligned");
    vk::set_attr<"length">(self, py::int_(shifted.size()));
    return py::none();
}

py::object lm_len(py::handle self, const vk::Args<"">&) { return vk::attr<"length">(self); }

py::object lm_getitem(py::handle self, const vk::Args<"idx">& a) {
    a.integer<"idx">();
    const py::handle idx = a.get<"idx">();
    const py::object shifted = py::reinterpret_borrow<py::list>(vk::attr<"transcripts_shifted">(self))[idx];
    const py::object golden = py::reinterpret_borrow<py::list>(vk::attr<"transcripts_golden">(self))[idx];
    return py::make_tuple(long_tensor(shifted), long_tensor(golden));
}

py::object lm_collate(py::handle self, const vk::Args<"batch">& a) {
    // zip(*batch): the pairs transposed, exactly two components.
    const py::tuple items(py::reinterpret_borrow<py::object>(a.get<"batch">()));
    const py::object columns = vk::detail::steal_or_throw(PyObject_Call(vk::imported<"builtins", "zip">().ptr(), items.ptr(), nullptr));
    const auto [shifted, golden] = vk::unpack<2>(py::tuple(columns));
    std::vector<long long> lengths;
    for (const py::handle s : shifted) lengths.push_back(py::len(s));
    const py::object pad_token = vk::attr<"pad_token">(self);
    return py::make_tuple(pad(shifted, pad_token), pad(golden, pad_token), long_tensor(py::cast(lengths)));
}

py::object lm_sample_prompts(py::handle self, const vk::Args<"num_samples, prompt_length, seed=52719">& a) {
    const long long num_samples = a.integer<"num_samples">();
    const long long prompt_length = a.integer<"prompt_length">();
    a.integer<"seed">();
    vk::call(vk::imported<"random", "seed">(), a.get<"seed">());

    const py::list sequences = vk::attr<"transcripts_shifted">(self);
    py::list valid;
    for (std::size_t i = 0; i < sequences.size(); ++i)
        if (static_cast<long long>(py::len(sequences[i])) > prompt_length) valid.append(py::int_(i));
    const long long num_to_sample = std::min(static_cast<long long>(valid.size()), num_samples);
    const py::list selected = vk::call(vk::imported<"random", "sample">(), valid, num_to_sample);

    py::list prompts, originals;
    const py::object prefix = py::slice(py::none(), py::int_(prompt_length), py::none());
    for (const py::handle i : selected) {
        const py::object full = long_tensor(sequences[i]);
        prompts.append(full[prefix]);
        originals.append(full);
    }
    return py::make_tuple(vk::call(vk::attr<"stack">(vk::torch()), prompts), originals);
}

py::object lm_avg_chars(py::handle self, const vk::Args<"">&) { return vk::attr<"avg_chars_per_token">(self); }

constexpr vk::Def kInit{"__init__", lm_init};
constexpr vk::Def kLen{"__len__", lm_len, "Number of texts."};
constexpr vk::Def kGetItem{"__getitem__", lm_getitem, "(shifted, golden) of text idx as int64 tensors."};
constexpr vk::Def kCollate{"collate_fn", lm_collate,
                           "Pads a list of (shifted, golden) pairs into (padded_shifted (B, L_max), padded_golden (B, L_max), "
                           "lengths (B,)), padding with the tokenizer's pad id."};
constexpr vk::Def kSamplePrompts{
    "sample_prompts", lm_sample_prompts,
    "Reseeds Python's random module with seed and draws up to num_samples texts longer than prompt_length; returns "
    "(prompts (N, prompt_length) int64, list of the N full shifted sequences)."};
constexpr vk::Def kAvgChars{"get_avg_chars_per_token", lm_avg_chars, "Average number of characters per token."};

}  // namespace

PYBIND11_MODULE(holvane, m) {
    m.doc() = "Text dataset for language-model training and evaluation.";
    m.attr("BrixTokenizer") = py::module_::import("velkor.data.tokenizer").attr("BrixTokenizer");
    vk::define_class<kInit, kLen, kGetItem, kCollate, kSamplePrompts, kAvgChars>(
        m, "LMDataset", vk::imported<"torch.utils.data", "Dataset">(), "Dataset for Language Model training/evaluation.");
}
