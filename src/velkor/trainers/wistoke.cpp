// The language-model trainer: token-level cross-entropy under mixed precision with gradient
// accumulation, a validation pass, an epoch loop that keeps the best checkpoint by per-character
// validation loss, evaluation with greedy, beam and sampling generation, and generation of
// continuations of dataset prompts.
#include <vk/common.hpp>
#include <vkdomain/distributed.hpp>
#include <vkdomain/scoring.hpp>
#include <vkdomain/training_step.hpp>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <string>

namespace {

namespace py = pybind11;
using vk::kw;

py::handle base_trainer() { return vk::imported<"velkor.trainers.fendral", "BaseTrainer">(); }
py::handle sequence_generator() { return vk::imported<"velkor.decoding.maravex", "SequenceGenerator">(); }

[[noreturn]] void raise_zero_division() {
    PyErr_SetString(PyExc_ZeroDivisionError, "float division by zero");
    throw py::error_already_set();
}

double divide(double a, double b) {
    if (b == 0.0) raise_zero_division();
    return a / b;
}

// e^x computed on a tensor, as a float.
double exp_on_tensor(double x) {
    const py::object t = vk::call(vk::imported<"torch", "tensor">(), x);
    return py::cast<double>(vk::call_method<"item">(vk::call(vk::imported<"torch", "exp">(), t)));
}

std::string four_decimals(double v) { return vk::fixed_text(v, 4); }

// The first sample's map of the first entry of an attention dictionary.
py::object first_map(py::handle attention) {
    const py::object values = vk::call_method<"values">(attention);
    const py::iterator it = py::iter(values);
    if (it == py::iterator::sentinel()) throw py::index_error("list index out of range");
    return py::object((*it)[py::int_(0)]);
}

using vkdomain::pass_bar;

// ---------------------------------------------------------------------------------------------
// Construction

using InitArgs = vk::Args<"model, tokenizer, config, run_name, config_file, device=None">;
py::object init(py::handle self, const InitArgs& a) {
    vk::call(vk::attr<"__init__">(base_trainer()), self, a.get<"model">(), a.get<"tokenizer">(), a.get<"config">(), a.get<"run_name">(),
             a.get<"config_file">(), a.get<"device">());
    const py::object training = vk::item<"training">(vk::attr<"config">(self));
    vk::set_attr<"criterion">(
        self, vk::call(vk::imported<"torch.nn", "CrossEntropyLoss">(), kw<"ignore_index">(vk::attr<"pad_id">(vk::attr<"tokenizer">(self))),
                       kw<"label_smoothing">(vk::get<"label_smoothing">(training, py::float_(0.0)))));
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Passes

// One batch through the model and the criterion: (raw loss, attention dictionary).
struct Forward {
    py::object loss;
    py::object attention;
};

struct Pass {
    py::handle self;
    py::object model, criterion, device;

    explicit Pass(py::handle self_) : self(self_) {
        model = vk::attr<"model">(self);
        criterion = vk::attr<"criterion">(self);
        device = vk::attr<"device">(self);
    }

    // Batch tensors on the device: decoder input, targets, lengths.
    std::array<py::object, 3> to_device(py::handle batch) const {
        auto parts = vk::unpack<3>(batch);
        for (py::object& t : parts) t = vk::call_method<"to">(t, device);
        return parts;
    }

    // Through `through`: the model, or its data-parallel wrapper.
    Forward forward(const std::array<py::object, 3>& batch, py::handle through) const {
        const auto [logits, attention] = vk::unpack<2>(vk::call(through, batch[0], kw<"target_lengths">(batch[2])));
        const py::object flat_logits = vk::call_method<"reshape">(logits, -1, vk::call_method<"size">(logits, -1));
        const py::object loss = vk::call(criterion, flat_logits, vk::call_method<"reshape">(batch[1], -1));
        return {loss, attention};
    }

    static long long token_count(py::handle lengths) {
        return py::cast<long long>(vk::call_method<"item">(vk::call_method<"sum">(lengths)));
    }
};

py::object epoch_metrics(py::handle loader, double loss_sum, long long tokens) {
    if (tokens == 0) raise_zero_division();
    const double ce_token = loss_sum / static_cast<double>(tokens);
    const double chars_per_token = vk::to_float(vk::call_method<"get_avg_chars_per_token">(vk::attr<"dataset">(loader)));
    const double ce_char = divide(ce_token, chars_per_token);
    py::dict metrics;
    metrics["ce_loss_token"] = py::float_(ce_token);
    metrics["ce_loss_char"] = py::float_(ce_char);
    metrics["perplexity_token"] = py::float_(exp_on_tensor(ce_token));
    metrics["perplexity_char"] = py::float_(exp_on_tensor(ce_char));
    return metrics;
}

py::object train_epoch(py::handle self, const vk::Args<"dataloader">& a) {
    const py::handle loader = a.get<"dataloader">();
    const Pass pass(self);
    double loss_sum = 0.0;
    long long tokens = 0;
    py::object attention = py::none();
    vkdomain::training_pass(self, loader, "[Training LM]", [&](py::handle batch, vkdomain::Accumulation& accumulation) {
        const auto tensors = pass.to_device(batch);
        Forward out;
        vkdomain::under_autocast(self, [&] { out = pass.forward(tensors, accumulation.model()); });
        attention = out.attention;
        const long long batch_tokens = Pass::token_count(tensors[2]);
        const double loss = py::cast<double>(vk::call_method<"item">(out.loss));
        std::string acc_step;
        if (!accumulation.world().group) {
            tokens += batch_tokens;
            loss_sum += loss * static_cast<double>(batch_tokens);
            acc_step = accumulation.backward(out.loss);
        } else {
            // The global batch's numbers; each process's mean weighted by its share of the tokens
            // (times the process count, which the gradient averaging divides out).
            const auto global = vkdomain::sum_over_ranks({loss * static_cast<double>(batch_tokens), static_cast<double>(batch_tokens)});
            tokens += static_cast<long long>(std::llround(global[1]));
            loss_sum += global[0];
            const double share =
                global[1] > 0 ? static_cast<double>(batch_tokens) * static_cast<double>(accumulation.world().size) / global[1] : 0.0;
            acc_step = accumulation.backward(vk::call_method<"mul">(out.loss, share));
        }
        const double mean = divide(loss_sum, static_cast<double>(tokens));
        py::dict postfix;
        postfix["ce_loss_token"] = four_decimals(mean);
        postfix["perplexity_token"] = four_decimals(exp_on_tensor(mean));
        postfix["acc_step"] = acc_step;
        return postfix;
    });
    return py::make_tuple(epoch_metrics(loader, loss_sum, tokens), attention);
}

py::object validate_epoch(py::handle self, const vk::Args<"dataloader">& a) {
    const py::handle loader = a.get<"dataloader">();
    const Pass pass(self);
    vk::call_method<"eval">(pass.model);
    vk::Bar bar = pass_bar(loader, "[Validating LM]");

    double loss_sum = 0.0;
    long long tokens = 0;
    py::object attention = py::none();
    for (const py::handle batch : loader) {
        {
            const auto tensors = pass.to_device(batch);
            Forward out;
            vk::with_block(vk::call(vk::imported<"torch", "inference_mode">()), [&] { out = pass.forward(tensors, pass.model); });
            attention = out.attention;
            const long long batch_tokens = Pass::token_count(tensors[2]);
            tokens += batch_tokens;
            loss_sum += py::cast<double>(vk::call_method<"item">(out.loss)) * static_cast<double>(batch_tokens);
            const double mean = divide(loss_sum, static_cast<double>(tokens));
            bar.advance(kw<"ce_loss_token">(four_decimals(mean)), kw<"perplexity_token">(four_decimals(exp_on_tensor(mean))));
        }
        vkdomain::release_cuda_cache();
    }
    // Every process validated its share: the sums over all of them.
    const auto total = vkdomain::sum_over_ranks({loss_sum, static_cast<double>(tokens)});
    const py::object metrics = epoch_metrics(loader, total[0], static_cast<long long>(std::llround(total[1])));
    bar.close();
    return py::make_tuple(metrics, attention);
}

// ---------------------------------------------------------------------------------------------
// Epoch loop and evaluation

py::object train(py::handle self, const vk::Args<"train_dataloader, val_dataloader, epochs">& a) {
    const long long epochs = py::cast<long long>(vk::integer_like(a.get<"epochs">(), "epochs"));
    if (vk::attr<"scheduler">(self).is_none()) throw py::value_error("Scheduler is not initialized, initialize it first!");
    if (vk::attr<"optimizer">(self).is_none()) throw py::value_error("Optimizer is not initialized, initialize it first!");

    double best_val_loss = std::numeric_limits<double>::infinity();
    const long long first = py::cast<long long>(vk::integer_like(vk::attr<"current_epoch">(self), "current_epoch"));
    for (long long epoch = first; epoch < first + epochs; ++epoch) {
        if (!vkdomain::budget_allows_epoch(self, a.get<"train_dataloader">(), a.get<"val_dataloader">(), first + epochs - epoch)) break;
        const auto [train_metrics, train_attention] = vk::unpack<2>(vk::call_method<"_train_epoch">(self, a.get<"train_dataloader">()));
        const auto [val_metrics, val_attention] = vk::unpack<2>(vk::call_method<"_validate_epoch">(self, a.get<"val_dataloader">()));
        // A failed sample generation is reported and the epoch is still logged and saved.
        // Only rank 0 writes the samples: the others do not generate them.
        py::object generated;
        try {
            if (vkdomain::world().writes()) generated = vk::call_method<"generate">(self, a.get<"val_dataloader">());
        } catch (py::error_already_set& e) {
            if (!vk::ordinary_error(e)) throw;
            vk::println("Could not generate results for validation: ", vk::error_text(e));
        }

        const py::object scheduler = vk::attr<"scheduler">(self);
        if (vkdomain::is_plateau(scheduler)) vk::call_method<"step">(scheduler, vk::item<"ce_loss_char">(val_metrics));
        vkdomain::budget_epoch_validated(self, first + epochs - epoch - 1);

        py::dict metrics;
        metrics["train"] = train_metrics;
        metrics["val"] = val_metrics;
        vk::call_method<"_log_metrics">(self, metrics, epoch);
        vk::call_method<"_save_attention_plot">(self, first_map(train_attention), epoch, "train_self");
        vk::call_method<"_save_attention_plot">(self, first_map(val_attention), epoch, "val_self");
        if (generated) vk::call_method<"_save_generated_text">(self, generated, vk::text("val_epoch_", epoch));
        vk::call_method<"save_checkpoint">(self, "checkpoint-last-epoch-model.pth");

        const py::object val_loss = vk::item<"ce_loss_char">(val_metrics);
        const double loss = vk::to_float(val_loss);
        if (loss < best_val_loss) {
            best_val_loss = loss;
            vk::set_attr<"best_metric">(self, val_loss);
            vk::call_method<"save_checkpoint">(self, "checkpoint-best-metric-model.pth");
        }
        vk::set_attr<"current_epoch">(self, vk::add(vk::attr<"current_epoch">(self), py::int_(1)));
    }
    return py::none();
}

py::object evaluate(py::handle self, const vk::Args<"test_dataloader">& a) {
    const py::handle loader = a.get<"test_dataloader">();
    const auto [metrics, attention] = vk::unpack<2>(vk::call_method<"_validate_epoch">(self, loader));
    const py::object epoch = vk::attr<"current_epoch">(self);
    py::dict logged;
    logged["test"] = metrics;
    vk::call_method<"_log_metrics">(self, logged, epoch);
    vk::call_method<"_save_attention_plot">(self, first_map(attention), epoch, "test_self");

    py::dict results;
    const py::object configs = vk::call_method<"_get_evaluation_generation_configs">(self);
    for (const py::handle name : py::iter(configs)) {
        try {
            const py::object generated = vk::call_method<"generate">(self, loader, kw<"generation_config">(py::object(configs[name])));
            results[name] = generated;
            vk::call_method<"_save_generated_text">(self, generated, vk::text("test_epoch_", epoch, "_", name));
        } catch (py::error_already_set& e) {
            if (!vk::ordinary_error(e)) throw;
            vk::println("Could not generate results for ", name, ": ", vk::error_text(e));
        }
    }
    return py::make_tuple(metrics, results);
}

py::dict generation_config(py::handle max_len, long long num_samples, long long prompt_length, double temperature, long long beam_width,
                           double repeat_penalty, long long top_k, double top_p) {
    py::dict c;
    c["num_samples"] = num_samples;
    c["prompt_length"] = prompt_length;
    c["seed"] = 52719;
    c["max_length"] = max_len;
    c["temperature"] = temperature;
    c["beam_width"] = beam_width;
    c["repeat_penalty"] = repeat_penalty;
    c["top_k"] = top_k;
    c["top_p"] = top_p;
    return c;
}

py::object evaluation_configs(py::handle self, const vk::Args<"">&) {
    const py::object max_len = vk::attr<"max_len">(vk::attr<"model">(self));
    py::dict configs;
    configs["greedy"] = generation_config(max_len, 50, 10, 1.0, 1, 1.0, 0, 0.0);
    configs["beam"] = generation_config(max_len, 50, 10, 1.0, 10, 1.2, 0, 0.0);
    configs["sample"] = generation_config(max_len, 50, 10, 1.0, 1, 1.0, 10, 0.95);
    return configs;
}

// ---------------------------------------------------------------------------------------------
// Generation

// v > n, as Python compares.
bool greater(py::handle v, long long n) {
    const int r = PyObject_RichCompareBool(v.ptr(), py::int_(n).ptr(), Py_GT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

py::list as_list(py::handle ids) {
    if (vk::has_attr<"tolist">(ids)) return vk::call_method<"tolist">(ids);
    return py::list(py::reinterpret_borrow<py::object>(ids));
}

py::object tail(const py::list& ids, std::size_t from) { return ids[py::slice(py::int_(from), py::none(), py::none())]; }

// The generated text ends where the model ended it: greedy search and sampling write pad_id in
// place of the end token and after it, beam search pads after the end token, so the ids are
// cut at the first end or padding id (neither shows up as "<eos>" or "<pad>" in the text).
py::list continuation(const py::list& ids, std::size_t from, long long eos, long long pad) {
    py::list kept;
    for (std::size_t i = from; i < ids.size(); ++i) {
        const long long id = py::cast<long long>(ids[i]);
        if (id == eos || id == pad) break;
        kept.append(ids[i]);
    }
    return kept;
}

py::object generate(py::handle self, const vk::Args<"dataloader, generation_config=None">& a) {
    const py::object model = vk::attr<"model">(self);
    py::dict config;
    if (a.is_none<"generation_config">()) {
        config = generation_config(vk::attr<"max_len">(model), 10, 20, 1.0, 1, 1.0, 0, 0.0);
    } else {
        config = a.dict<"generation_config">();
    }
    const py::object tokenizer = vk::attr<"tokenizer">(self), device = vk::attr<"device">(self);
    vk::call_method<"eval">(model);  // before a scorer reads the model's dropout settings
    // Keys and values cached step by step give the scores of the full-prefix `score` without
    // rerunning the prefix; "incremental": False keeps the full-prefix path, and so does a model
    // whose class overrides `score` alone.
    const bool incremental = vk::truthy(vk::get<"incremental">(config, py::bool_(true))) && vkdomain::offers_incremental(model);
    const py::object score_fn = incremental ? vk::call_method<"incremental_scorer">(model) : vk::attr<"score">(model);
    const py::object generator = vk::call(sequence_generator(), kw<"score_fn">(score_fn), kw<"tokenizer">(tokenizer),
                                          kw<"max_length">(vk::attr<"max_len">(model)), kw<"device">(device));

    const auto [prompts_host, full_sequences] = vk::unpack<2>(vk::call_method<"sample_prompts">(
        vk::attr<"dataset">(a.get<"dataloader">()), kw<"num_samples">(vk::get<"num_samples">(config, py::int_(10))),
        kw<"prompt_length">(vk::get<"prompt_length">(config, py::int_(10))), kw<"seed">(vk::get<"seed">(config, py::int_(52719)))));
    const py::object prompts = vk::call_method<"to">(prompts_host, device);

    py::object sequences, scores;
    vk::with_block(vk::call(vk::imported<"torch", "inference_mode">()), [&] {
        const py::object temperature = vk::get<"temperature">(config, py::float_(1.0));
        const py::object repeat_penalty = vk::get<"repeat_penalty">(config, py::float_(1.0));
        const py::object top_k = vk::get<"top_k">(config, py::int_(0));
        const py::object beam_width = vk::get<"beam_width">(config, py::int_(1));
        if (greater(top_k, 0) || greater(vk::get<"top_p">(config, py::int_(0)), 0)) {
            vk::println("Generating with sampling...");
            const auto out =
                vk::unpack<2>(vk::call_method<"generate_sample">(generator, prompts, kw<"temperature">(temperature), kw<"top_k">(top_k),
                                                                 kw<"top_p">(vk::get<"top_p">(config, py::float_(1.0)))));
            sequences = out[0];
            scores = out[1];
        } else if (greater(beam_width, 1)) {
            vk::println("Generating with beam search...");
            const auto out = vk::unpack<2>(vk::call_method<"generate_beam">(
                generator, prompts, kw<"beam_width">(beam_width), kw<"temperature">(temperature), kw<"repeat_penalty">(repeat_penalty),
                kw<"length_penalty">(vk::get<"length_penalty">(config, py::float_(0.0)))));
            // Slot 0 holds each prompt's best hypothesis.
            const py::object best = py::make_tuple(py::slice(py::none(), py::none(), py::none()), 0);
            sequences = out[0][best];
            scores = out[1][best];
        } else {
            vk::println("Generating with greedy search...");
            const auto out = vk::unpack<2>(vk::call_method<"generate_greedy">(generator, prompts, kw<"temperature">(temperature),
                                                                              kw<"repeat_penalty">(repeat_penalty)));
            sequences = out[0];
            scores = out[1];
        }
    });

    const py::object processed = vk::call(vk::attr<"post_process_sequence">(sequence_generator()), sequences, tokenizer);
    const py::list prompt_rows = vk::call_method<"tolist">(prompts);
    const py::list score_values = vk::call_method<"tolist">(scores);
    const py::list processed_rows(py::reinterpret_borrow<py::object>(processed));
    const py::list full_rows(py::reinterpret_borrow<py::object>(full_sequences));
    const std::size_t count = std::min({prompt_rows.size(), processed_rows.size(), score_values.size(), full_rows.size()});

    const long long eos = py::cast<long long>(vk::attr<"eos_id">(tokenizer)), pad = py::cast<long long>(vk::attr<"pad_id">(tokenizer));
    py::list records;
    for (std::size_t i = 0; i < count; ++i) {
        const py::list prompt = prompt_rows[i];
        const std::size_t length = prompt.size();
        py::dict record;
        record["prompt"] = vk::call_method<"decode">(tokenizer, prompt);
        record["original"] = vk::call_method<"decode">(tokenizer, tail(as_list(full_rows[i]), length));
        record["generated"] = vk::call_method<"decode">(tokenizer, continuation(as_list(processed_rows[i]), length, eos, pad));
        record["score"] = py::float_(vk::to_float(score_values[i]));
        records.append(record);
    }
    return records;
}

constexpr vk::Def kInit{"__init__", init};
constexpr vk::Def kTrainEpoch{"_train_epoch", train_epoch,
                              "One training pass: mixed precision, gradient accumulation over gradient_accumulation_steps batches.\n"
                              "Returns (metrics, attention dictionary of the last batch)."};
constexpr vk::Def kValidateEpoch{
    "_validate_epoch", validate_epoch,
    "One pass without updates under inference mode. Returns (metrics, attention dictionary of the last batch)."};
constexpr vk::Def kTrain{"train", train,
                         "Runs epochs of training and validation from current_epoch, generating samples, logging, and saving the\n"
                         "last-epoch checkpoint and, when the validation ce_loss_char improves, the best one. A trainer with a\n"
                         "time_budget stops when its plan is done, after validating and saving a last, partial epoch."};
constexpr vk::Def kEvaluate{"evaluate", evaluate,
                            "Test metrics and generation with the greedy, beam and sample configurations: returns (metrics, results)."};
constexpr vk::Def kGenerate{"generate", generate,
                            "Generates continuations of prompts drawn from dataloader.dataset (greedy by default; sampling when top_k\n"
                            "or top_p is positive, beam search when beam_width > 1). The model's incremental scorer (cached keys and\n"
                            "values) is used when it has one and its class does not override `score` alone, unless\n"
                            "generation_config['incremental'] is False. Returns one record per prompt: {'prompt', 'original',\n"
                            "'generated', 'score'}."};
constexpr vk::Def kEvaluationConfigs{"_get_evaluation_generation_configs", evaluation_configs,
                                     "The generation configurations of evaluate: 'greedy', 'beam' and 'sample'."};

}  // namespace

PYBIND11_MODULE(wistoke, m) {
    m.doc() = "Language-model trainer.";
    m.attr("BaseTrainer") = base_trainer();
    m.attr("SequenceGenerator") = sequence_generator();
    m.attr("gristane") = vk::imported<"velkor.utils", "gristane">();
    m.attr("create_scheduler") = vk::imported<"velkor.utils", "create_scheduler">();
    vk::define_abc_class<kInit, kTrainEpoch, kValidateEpoch, kTrain, kEvaluate, kGenerate, kEvaluationConfigs>(
        m, "LMTrainer", base_trainer(), "Language Model Trainer class that handles the training, validation, and generation loops.");
}
