// Speech-recognition trainers.
//
//   ASRTrainer: joint loss (label-smoothed cross-entropy on the decoder plus weighted CTC on the
//     encoder side) under autocast with a gradient scaler and gradient accumulation; validation
//     by recognition (greedy search through the sequence generator) and error rates; recognition
//     with greedy or beam search and optional shallow fusion with a language model; evaluation
//     tables per decoding configuration.
//   ProgressiveTrainer: training in stages, each with its own active and frozen layers, dropout,
//     label smoothing and fraction of the training data, then a return to the full model.
//
// Both derive from the abstract BaseTrainer (experiment directory, logging, checkpoints).
#include <vk/common.hpp>
#include <vkdomain/distributed.hpp>
#include <vkdomain/scoring.hpp>
#include <vkdomain/training_step.hpp>

#include <array>
#include <cctype>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <tuple>
#include <vector>

namespace {

namespace py = pybind11;
using vk::as_index;
using vk::is_instance;
using vk::kw;

constexpr double kInf = std::numeric_limits<double>::infinity();

py::handle base_trainer_class() { return vk::imported<"velkor.trainers.fendral", "BaseTrainer">(); }
py::handle generator_class() { return vk::imported<"velkor.decoding.maravex", "SequenceGenerator">(); }
py::handle cross_entropy_class() { return vk::imported<"torch.nn", "CrossEntropyLoss">(); }
py::handle module_list_class() { return vk::imported<"torch.nn", "ModuleList">(); }

// ---------------------------------------------------------------------------------------------
// Small helpers

double as_double(py::handle v) { return vk::to_float(v); }
double item(py::handle tensor) { return as_double(vk::call_method<"item">(tensor)); }

long long length_of(py::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw py::error_already_set();
    return n;
}

bool less_than(py::handle a, py::handle b) {
    const int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_LT);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

// 1234567 -> "1,234,567", as format(n, ",") writes it.
std::string grouped(long long n) {
    std::string digits = std::to_string(n < 0 ? -n : n);
    std::string out;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) out += ',';
        out += digits[i];
    }
    return n < 0 ? "-" + out : out;
}

[[noreturn]] void raise_key_error(const char* key, const std::string& note) {
    PyErr_SetObject(PyExc_KeyError, py::str(key).ptr());
    py::error_already_set e;
    if (!note.empty()) vk::add_note(e, note);
    throw e;
}

[[noreturn]] void raise_zero_division(const std::string& message) {
    PyErr_SetString(PyExc_ZeroDivisionError, message.c_str());
    throw py::error_already_set();
}

py::object inference_mode() { return vk::call(vk::imported<"torch", "inference_mode">()); }

py::object new_cross_entropy(py::handle self, py::handle label_smoothing) {
    return vk::call(cross_entropy_class(), kw<"ignore_index">(vk::attr<"pad_id">(vk::attr<"tokenizer">(self))),
                    kw<"label_smoothing">(label_smoothing));
}

py::object fixed4(double v) { return py::str(vk::fixed_text(v, 4)); }

// ---------------------------------------------------------------------------------------------
// ASRTrainer: construction

using InitArgs = vk::Args<"model, tokenizer, config, run_name, config_file, device=None">;

py::object asr_init(py::handle self, const InitArgs& a) {
    vk::call(vk::attr<"__init__">(base_trainer_class()), self, a.get<"model">(), a.get<"tokenizer">(), a.get<"config">(),
             a.get<"run_name">(), a.get<"config_file">(), a.get<"device">());
    const py::object loss = vk::item<"loss">(vk::attr<"config">(self));
    vk::set_attr<"ce_criterion">(self, new_cross_entropy(self, vk::get<"label_smoothing">(loss, py::float_(0.0))));
    vk::set_attr<"ctc_criterion">(self, py::none());
    const double ctc_weight = vk::to_real(vk::get<"ctc_weight">(loss, py::float_(0.0)), "ctc_weight");
    vk::set_attr<"ctc_weight">(self, py::float_(ctc_weight));
    // Without CTC weight the CTC head gets no gradient: data-parallel training must look for it.
    vk::set_attr<"find_unused_parameters">(self, py::bool_(!(ctc_weight > 0)));
    if (ctc_weight > 0) {
        // The pad id doubles as the CTC blank.
        vk::set_attr<"ctc_criterion">(
            self, vk::call(vk::imported<"torch.nn", "CTCLoss">(), kw<"blank">(vk::attr<"pad_id">(vk::attr<"tokenizer">(self))),
                           kw<"zero_infinity">(true)));
    }
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// ASRTrainer: training pass

// Token-weighted sums of one pass's losses: each batch counts in proportion to its transcript
// tokens.
struct LossSums {
    double ce = 0.0, ctc = 0.0, joint = 0.0, tokens = 0.0;

    py::dict postfix(const std::string& acc_step) const {
        const double ce_mean = ce / tokens;
        py::dict postfix;
        postfix["ce_loss"] = fixed4(ce_mean);
        postfix["ctc_loss"] = fixed4(ctc / tokens);
        postfix["joint_loss"] = fixed4(joint / tokens);
        postfix["perplexity"] = fixed4(std::exp(ce_mean));
        postfix["acc_step"] = py::str(acc_step);
        return postfix;
    }

    py::dict metrics(double chars_per_token) const {
        const double ce_mean = ce / tokens;
        py::dict metrics;
        metrics["ce_loss"] = py::float_(ce_mean);
        metrics["ctc_loss"] = py::float_(ctc / tokens);
        metrics["joint_loss"] = py::float_(joint / tokens);
        metrics["perplexity_token"] = py::float_(std::exp(ce_mean));
        metrics["perplexity_char"] = py::float_(std::exp(ce_mean / chars_per_token));
        return metrics;
    }
};

// One batch's joint loss: cross-entropy on the decoder logits, plus ctc_weight x the CTC loss of
// the encoder side when the weight is positive (otherwise a CTC of 0.0 is reported).
struct JointLoss {
    py::object ce, ctc, loss, attention;
};

// The five batch tensors on the device (a None, such as absent targets, stays None).
std::array<py::object, 5> batch_on(py::handle device, py::handle batch) {
    py::list moved;
    for (const py::handle part : py::iter(batch)) moved.append(part.is_none() ? py::none() : vk::call_method<"to">(part, device));
    return vk::unpack<5>(moved);
}

JointLoss joint_loss(py::handle self, py::handle model, const std::array<py::object, 5>& batch, double ctc_weight) {
    const auto& [features, shifted, golden, feature_lengths, transcript_lengths] = batch;
    auto [logits, attention, ctc_inputs] = vk::unpack<3>(vk::call(model, features, shifted, feature_lengths, transcript_lengths));
    const py::object flat_logits = vk::call_method<"view">(logits, -1, vk::call_method<"size">(logits, -1));
    JointLoss out;
    out.attention = attention;
    out.ce = vk::call(vk::attr<"ce_criterion">(self), flat_logits, vk::call_method<"view">(golden, -1));
    if (ctc_weight > 0) {
        out.ctc = vk::call(vk::attr<"ctc_criterion">(self), vk::item<"log_probs">(ctc_inputs), golden, vk::item<"lengths">(ctc_inputs),
                           transcript_lengths);
        out.loss = vk::add(out.ce, vk::call_method<"mul">(out.ctc, ctc_weight));
    } else {
        out.ctc = vk::call(vk::imported<"torch", "tensor">(), 0.0);
        out.loss = out.ce;
    }
    return out;
}

// Under a process group: adds the global batch's numbers to `sums` as one process over the global
// batch would, and returns this process's loss weighted by its share of the global batch (tokens
// for the cross-entropy, a mean over tokens; utterances for CTC, a mean over utterances), times
// the process count that the gradient averaging divides out.
py::object global_batch_loss(LossSums& sums, const JointLoss& out, const std::array<py::object, 5>& tensors, double tokens,
                             double ctc_weight, const vkdomain::Accumulation& accumulation) {
    const double utterances = as_double(vk::call_method<"size">(tensors[0], 0));
    const double ctc = ctc_weight > 0 ? item(out.ctc) : 0.0;
    const auto g = vkdomain::sum_over_ranks({item(out.ce) * tokens, ctc * utterances, tokens, utterances});
    const double ce_mean = g[2] > 0 ? g[0] / g[2] : 0.0, ctc_mean = g[3] > 0 ? g[1] / g[3] : 0.0;
    sums.tokens += g[2];
    sums.ce += g[0];
    sums.ctc += ctc_mean * g[2];
    sums.joint += (ce_mean + ctc_weight * ctc_mean) * g[2];
    const double processes = static_cast<double>(accumulation.world().size);
    py::object loss = vk::call_method<"mul">(out.ce, g[2] > 0 ? tokens * processes / g[2] : 0.0);
    if (ctc_weight > 0) loss = vk::add(loss, vk::call_method<"mul">(out.ctc, ctc_weight * utterances * processes / g[3]));
    return loss;
}

py::object asr_train_epoch(py::handle self, const vk::Args<"dataloader">& a) {
    const py::handle loader = a.get<"dataloader">();
    const py::object device = vk::attr<"device">(self);
    const double ctc_weight = as_double(vk::attr<"ctc_weight">(self));
    LossSums sums;
    py::object last_attention = py::none();
    vkdomain::training_pass(self, loader, "[Training ASR]", [&](py::handle batch, vkdomain::Accumulation& accumulation) {
        const std::array<py::object, 5> tensors = batch_on(device, batch);
        JointLoss out;
        vkdomain::under_autocast(self, [&] { out = joint_loss(self, accumulation.model(), tensors, ctc_weight); });
        last_attention = out.attention;
        const double batch_tokens = item(vk::call_method<"sum">(tensors[4]));
        if (!accumulation.world().group) {
            sums.tokens += batch_tokens;
            sums.ce += item(out.ce) * batch_tokens;
            if (ctc_weight > 0) sums.ctc += item(out.ctc) * batch_tokens;
            sums.joint += item(out.loss) * batch_tokens;
            return sums.postfix(accumulation.backward(out.loss));
        }
        return sums.postfix(accumulation.backward(global_batch_loss(sums, out, tensors, batch_tokens, ctc_weight, accumulation)));
    });
    if (sums.tokens == 0) raise_zero_division("float division by zero (the training data loader yielded no transcript tokens)");
    const double chars_per_token = as_double(vk::call_method<"get_avg_chars_per_token">(vk::attr<"dataset">(loader)));
    if (chars_per_token == 0) raise_zero_division("float division by zero (the dataset's average characters per token is 0)");
    return py::make_tuple(sums.metrics(chars_per_token), last_attention);
}

// ---------------------------------------------------------------------------------------------
// ASRTrainer: validation and the epoch loop

// Under a process group each process recognizes its share; the error rates are those of all
// shares together and the records are gathered, rank by rank.
py::object asr_validate_epoch(py::handle self, const vk::Args<"dataloader">& a) {
    const py::object results = vk::call_method<"recognize">(self, a.get<"dataloader">());
    py::list references, hypotheses;
    for (const py::handle record : py::iter(results)) {
        references.append(vk::item<"target">(record));
        hypotheses.append(vk::item<"generated">(record));
    }
    const py::object metrics = vk::call_method<"_calculate_asr_metrics">(self, references, hypotheses);
    return py::make_tuple(metrics, vkdomain::gather_lists(py::list(results)));
}

void require_optimizer_and_scheduler(py::handle self) {
    if (vk::attr<"scheduler">(self).is_none()) throw py::value_error("Scheduler is not initialized, initialize it first!");
    if (vk::attr<"optimizer">(self).is_none()) throw py::value_error("Optimizer is not initialized, initialize it first!");
}

// The first decoder self-attention map and the last cross-attention map of the batch's row 0.
void save_attention_images(py::handle self, py::handle attention, py::handle epoch) {
    if (attention.is_none()) return;
    py::object first_self, last_cross;
    for (const py::handle key : py::iter(attention)) {
        const std::string name = py::str(key);
        if (!first_self && name.find("dec_self") != std::string::npos) first_self = py::reinterpret_borrow<py::object>(key);
        if (name.find("dec_cross") != std::string::npos) last_cross = py::reinterpret_borrow<py::object>(key);
    }
    const auto plot = [&](const py::object& key, const char* kind) {
        const py::object weights = vk::call_method<"__getitem__">(attention, key);
        vk::call_method<"_save_attention_plot">(self, vk::call_method<"__getitem__">(weights, 0), epoch, kind);
    };
    if (first_self) plot(first_self, "decoder_self");
    if (last_cross) plot(last_cross, "decoder_cross");
}

// Utterances with fewer encoder frames than their CTC targets need (one per token, plus one between
// equal neighbours) have an infinite CTC loss, which zero_infinity turns into 0: say how many
// there are before training on them. A Subset is measured through the dataset it views.
void report_unalignable(py::handle self, py::handle train_loader) {
    if (!(as_double(vk::attr<"ctc_weight">(self)) > 0.0)) return;
    py::object dataset = vk::attr<"dataset">(train_loader);
    py::object indices = py::none();
    if (!vk::has_attr<"feats">(dataset) && vk::has_attr<"dataset">(dataset) && vk::has_attr<"indices">(dataset)) {
        indices = vk::attr<"indices">(dataset);
        dataset = vk::attr<"dataset">(dataset);
    }
    const py::object model = vk::attr<"model">(self);
    if (!vk::has_attr<"feats">(dataset) || !vk::has_attr<"transcripts_golden">(dataset) || !vk::has_attr<"source_embedding">(model)) return;
    const py::object feats = vk::attr<"feats">(dataset);
    const py::object golden = vk::attr<"transcripts_golden">(dataset);
    if (indices.is_none()) indices = vk::call(vk::imported<"builtins", "range">(), vk::call(vk::imported<"builtins", "len">(), feats));
    py::list frames, targets;
    for (const py::handle i : indices) {
        frames.append(vk::attr<"shape">(vk::call_method<"__getitem__">(feats, i))[py::int_(1)]);
        targets.append(vk::call_method<"__getitem__">(golden, i));
    }
    const py::object encoder_frames = vk::call_method<"calculate_downsampled_length">(
        vk::attr<"source_embedding">(model),
        vk::call(vk::imported<"torch", "tensor">(), frames, kw<"dtype">(vk::imported<"torch", "long">())));
    const py::object count = vk::call(vk::imported<"velkor.decoding.ctc", "count_unalignable">(), encoder_frames, targets);
    if (vk::as_index(count) == 0) return;
    vk::println(count, " of ", static_cast<long long>(frames.size()),
                " training utterances cannot be aligned by CTC at the model's time reduction (fewer encoder frames than target tokens "
                "plus repeated neighbours): their CTC loss is 0");
}

void run_asr_training(py::handle self, py::handle train_loader, py::handle val_loader, py::handle epochs_arg) {
    require_optimizer_and_scheduler(self);
    const long long epochs = vk::exact_int(epochs_arg, "epochs");
    const py::object train_len = vk::attr<"text_max_len">(vk::attr<"dataset">(train_loader));
    const py::object val_len = vk::attr<"text_max_len">(vk::attr<"dataset">(val_loader));
    vk::set_attr<"text_max_len">(self, less_than(train_len, val_len) ? val_len : train_len);
    report_unalignable(self, train_loader);

    double best = kInf;  // per call: the first epoch of every call writes the best checkpoint
    const long long start = as_index(vk::attr<"current_epoch">(self));
    for (long long e = start; e < start + epochs; ++e) {
        if (!vkdomain::budget_allows_epoch(self, train_loader, val_loader, start + epochs - e)) break;
        const py::int_ epoch(e);
        auto [train_metrics, train_attention] = vk::unpack<2>(vk::call_method<"_train_epoch">(self, train_loader));
        auto [val_metrics, val_results] = vk::unpack<2>(vk::call_method<"_validate_epoch">(self, val_loader));
        const py::object cer = vk::item<"cer">(val_metrics);
        const py::object scheduler = vk::attr<"scheduler">(self);
        if (vkdomain::is_plateau(scheduler)) vk::call_method<"step">(scheduler, cer);
        vkdomain::budget_epoch_validated(self, start + epochs - e - 1);
        py::dict metrics;
        metrics["train"] = train_metrics;
        metrics["val"] = val_metrics;
        vk::call_method<"_log_metrics">(self, metrics, epoch);
        save_attention_images(self, train_attention, epoch);
        vk::call_method<"_save_generated_text">(self, val_results, py::str("val_epoch_" + std::to_string(e)));
        vk::call_method<"save_checkpoint">(self, "checkpoint-last-epoch-model.pth");
        const double value = as_double(cer);
        if (value < best) {
            best = value;
            vk::set_attr<"best_metric">(self, py::float_(value));
            vk::call_method<"save_checkpoint">(self, "checkpoint-best-metric-model.pth");
        }
        vk::set_attr<"current_epoch">(self, vk::add(vk::attr<"current_epoch">(self), py::int_(1)));
    }
}

using TrainArgs = vk::Args<"train_dataloader, val_dataloader, epochs">;

py::object asr_train(py::handle self, const TrainArgs& a) {
    run_asr_training(self, a.get<"train_dataloader">(), a.get<"val_dataloader">(), a.get<"epochs">());
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Recognition

py::dict default_recognition_config() {
    py::dict c;
    c["num_batches"] = 5;
    c["beam_width"] = 1;
    c["temperature"] = 1.0;
    c["repeat_penalty"] = 1.0;
    c["lm_weight"] = 0.0;
    c["lm_model"] = py::none();
    return c;
}

// The scoring closure of one batch: the speech model's next-token logits over the batch's encoder
// output, plus lm_weight times the language model's raw logits when one is fused.
using ClosureInitArgs = vk::Args<"score, enc_output, src_pad_mask, lm_score=None, lm_weight=0.0">;

py::object closure_init(py::handle self, const ClosureInitArgs& a) {
    vk::set_attr<"score">(self, a.get<"score">());
    vk::set_attr<"enc_output">(self, a.get<"enc_output">());
    vk::set_attr<"src_pad_mask">(self, a.get<"src_pad_mask">());
    vk::set_attr<"lm_score">(self, a.get<"lm_score">());
    vk::set_attr<"lm_weight">(self, py::float_(a.real<"lm_weight">()));
    return py::none();
}

py::object closure_call(py::handle self, const vk::Args<"x">& a) {
    const py::handle x = a.get<"x">();
    py::object logits = vk::call(vk::attr<"score">(self), x, vk::attr<"enc_output">(self), vk::attr<"src_pad_mask">(self));
    const py::object lm_score = vk::attr<"lm_score">(self);
    if (lm_score.is_none()) return logits;
    return vkdomain::weighted_sum(logits, 1.0, vk::call(lm_score, x), vk::to_float(vk::attr<"lm_weight">(self)));
}

constexpr vk::Def kClosureInit{"__init__", closure_init};
constexpr vk::Def kClosureCall{"__call__", closure_call, "Next-token logits (N, V) of the prefixes x (N, T)."};

PyObject* closure_class = nullptr;  // set when the module is created

py::object scoring_closure(py::handle model, py::handle enc_output, py::handle mask, py::handle lm_model, double lm_weight) {
    return vk::call(closure_class, vk::attr<"score">(model), enc_output, mask,
                    lm_model.is_none() ? py::none() : vk::attr<"score">(lm_model), lm_weight);
}

// What one recognize call decodes with, read from its configuration.
struct Recognition {
    py::object beam_width;  // > 1: beam search
    bool beam = false;
    py::object temperature;
    py::object repeat_penalty;
    py::object lm_model;
    double lm_weight = 0.0;
    bool incremental = true;
    long long num_batches = -1;  // -1: all
    bool ctc_decoder = false;    // "decoder": "ctc": the CTC head alone (best path, or beam search over prefix scores)
    double ctc_weight = 0.0;     // > 0: joint CTC/attention scores
};

Recognition read_recognition(py::handle config) {
    Recognition r;
    r.beam_width = vk::item<"beam_width">(config);
    if (!PyLong_CheckExact(r.beam_width.ptr()))
        throw py::type_error("Recognition configuration key 'beam_width' must be of type int, got " + vk::type_name(r.beam_width));
    r.beam = as_index(r.beam_width) > 1;
    r.temperature = vk::get<"temperature">(config, py::float_(1.0));
    r.repeat_penalty = vk::get<"repeat_penalty">(config, py::float_(1.0));
    r.lm_model = vk::get<"lm_model">(config, py::none());
    if (!r.lm_model.is_none())
        r.lm_weight = vkdomain::checked_weight(vk::to_real(vk::get<"lm_weight">(config, py::float_(0.0)), "lm_weight"),
                                               "Recognition configuration key 'lm_weight'");
    r.incremental = vk::truthy(vk::get<"incremental">(config, py::bool_(true)));
    const py::object num_batches = vk::get<"num_batches">(config, py::none());
    if (!num_batches.is_none()) r.num_batches = std::max(0LL, as_index(num_batches));
    // "decoder": "attention" searches with the decoder (jointly with the CTC head when
    // "ctc_weight" > 0); "ctc" takes the CTC head's best path, or with a beam searches over its
    // prefix scores.
    const py::object decoder = vk::get<"decoder">(config, py::str("attention"));
    const std::string decoder_name = PyUnicode_CheckExact(decoder.ptr()) ? py::str(decoder).cast<std::string>() : std::string();
    if (decoder_name != "attention" && decoder_name != "ctc")
        throw py::value_error("Recognition configuration key 'decoder' must be 'attention' or 'ctc', got " +
                              std::string(py::repr(decoder)));
    r.ctc_decoder = decoder_name == "ctc";
    r.ctc_weight = vkdomain::checked_weight(vk::to_real(vk::get<"ctc_weight">(config, py::float_(0.0)), "ctc_weight"),
                                            "Recognition configuration key 'ctc_weight'", 1.0);
    return r;
}

bool incremental_available(const Recognition& r, py::handle model) {
    if (!r.incremental || !vkdomain::offers_incremental(model)) return false;
    if (r.lm_model.is_none()) return true;
    return vkdomain::offers_incremental(r.lm_model) && vk::has_attr<"FusedScorer">(vk::imported<"velkor.decoding.maravex">());
}

// The generator's score_fn for one batch: an incremental scorer (decoder state cached across
// steps) when the models offer one, otherwise the closure that rescores the whole prefix.
py::object attention_scorer(const Recognition& r, py::handle model, py::handle enc_output, py::handle mask) {
    if (incremental_available(r, model)) {
        py::object scorer = vk::call_method<"incremental_scorer">(model, enc_output, mask);
        if (r.lm_model.is_none()) return scorer;
        return vk::call(vk::imported<"velkor.decoding.maravex", "FusedScorer">(), scorer, vk::call_method<"incremental_scorer">(r.lm_model),
                        r.lm_weight);
    }
    return scoring_closure(model, enc_output, mask, r.lm_model, r.lm_weight);
}

// With "ctc_weight" > 0 the attention scores (fused with the language model, if any) are mixed
// with the CTC prefix scores of the model's CTC head; the "ctc" decoder's beam search uses the
// CTC prefix scores alone.
py::object batch_scorer(const Recognition& r, py::handle model, py::handle enc_output, py::handle mask, py::handle ctc_inputs,
                        py::handle tokenizer) {
    if (!r.ctc_decoder && r.ctc_weight == 0.0) return attention_scorer(r, model, enc_output, mask);
    py::object prefix = vk::call(vk::imported<"velkor.decoding.ctc", "CTCPrefixScorer">(), vk::item<"log_probs">(ctc_inputs),
                                 vk::item<"lengths">(ctc_inputs), tokenizer);
    if (r.ctc_decoder) return prefix;
    return vk::call(vk::imported<"velkor.decoding.ctc", "JointScorer">(), attention_scorer(r, model, enc_output, mask), prefix,
                    r.ctc_weight);
}

// The CTC head's best paths as (N, L) ids padded with pad_id, and their log-probabilities.
std::array<py::object, 2> ctc_best_paths(py::handle ctc_inputs, py::handle tokenizer, py::handle device) {
    const long long pad = as_index(vk::attr<"pad_id">(tokenizer));
    auto [paths, scores] = vk::unpack<2>(vk::call(vk::imported<"velkor.decoding.ctc", "best_path">(), vk::item<"log_probs">(ctc_inputs),
                                                  vk::item<"lengths">(ctc_inputs), pad));
    const py::list rows = py::reinterpret_borrow<py::list>(paths);
    std::size_t width = 0;
    for (const py::handle row : rows) width = std::max(width, static_cast<std::size_t>(PyList_GET_SIZE(row.ptr())));
    py::list padded;
    for (const py::handle row : rows) {
        py::list ids = py::reinterpret_borrow<py::list>(row);
        py::list out(width);
        for (std::size_t j = 0; j < width; ++j)
            out[j] = j < static_cast<std::size_t>(PyList_GET_SIZE(ids.ptr())) ? py::reinterpret_borrow<py::object>(ids[j]) : py::int_(pad);
        padded.append(out);
    }
    const py::object ids = vk::call(vk::imported<"torch", "tensor">(), padded, kw<"dtype">(vk::imported<"torch", "long">()));
    return {vk::call_method<"to">(vk::call_method<"view">(ids, static_cast<long long>(rows.size()), static_cast<long long>(width)), device),
            scores};
}

// The ids of each row of a (N, T) id tensor up to and including its first end token, decoded
// without special tokens; one host copy for the whole batch.
std::vector<py::object> decode_rows(py::handle sequences, py::handle tokenizer, long long eos) {
    const auto shape = vk::unpack<2>(vk::attr<"shape">(sequences));
    const long long rows = as_index(shape[0]);
    const long long cols = as_index(shape[1]);
    const vk::HostValues host(vk::call_method<"contiguous">(sequences));
    if (static_cast<long long>(host.size()) != rows * cols) throw std::runtime_error("id tensor size does not match its shape");
    const py::object decode = vk::attr<"decode">(tokenizer);
    std::vector<py::object> texts;
    texts.reserve(static_cast<std::size_t>(rows));
    for (long long r = 0; r < rows; ++r) {
        py::list ids;
        for (long long c = 0; c < cols; ++c) {
            const long long id = host.integer(static_cast<std::size_t>(r * cols + c));
            ids.append(py::int_(id));
            if (id == eos) break;
        }
        texts.push_back(vk::call(decode, ids, kw<"skip_special_tokens">(true)));
    }
    return texts;
}

using RecognizeArgs = vk::Args<"dataloader, recognition_config=None, config_name=None, max_length=None">;

// One recognize call: its configuration and the objects every batch is decoded with.
struct RecognizeCall {
    Recognition run;
    py::object name, device, tokenizer, model, generator;
    long long sos = 0, eos = 0;
};

RecognizeCall prepare_recognition(py::handle self, const RecognizeArgs& a) {
    py::object config = py::reinterpret_borrow<py::object>(a.get<"recognition_config">());
    py::object name = py::reinterpret_borrow<py::object>(a.get<"config_name">());
    if (!config.is_none()) vk::exact_dict(config, "recognition_config");
    if (!name.is_none()) vk::exact_str(name, "config_name");
    if (!a.is_none<"max_length">()) vk::exact_int(a.get<"max_length">(), "max_length");
    if (a.is_none<"max_length">() && !vk::has_attr<"text_max_len">(self))
        throw py::value_error("text_max_len is not set. Please run training loop first or provide a max_length");
    if (config.is_none()) {
        config = default_recognition_config();
        name = py::str("greedy");
    }
    RecognizeCall c{read_recognition(config), name, vk::attr<"device">(self), vk::attr<"tokenizer">(self), vk::attr<"model">(self), {}};
    if (!c.run.lm_model.is_none()) {
        vk::call_method<"eval">(c.run.lm_model);
        c.run.lm_model = vk::call_method<"to">(c.run.lm_model, c.device);
    }
    const py::object max_length =
        a.is_none<"max_length">() ? vk::attr<"text_max_len">(self) : py::reinterpret_borrow<py::object>(a.get<"max_length">());
    c.generator = vk::call(generator_class(), py::none(), c.tokenizer, max_length, c.device);
    vk::call_method<"eval">(c.model);
    c.sos = as_index(vk::attr<"sos_id">(c.tokenizer));
    c.eos = as_index(vk::attr<"eos_id">(c.tokenizer));
    return c;
}

// A batch's best hypotheses, (N, L) token ids, and their scores (N,).
struct Hypotheses {
    py::object sequences, scores;
};

// Encodes one batch once and searches it with the configured decoder; `golden` receives the
// batch's targets on the device (None without transcripts). The batch's other tensors are gone
// when this returns.
Hypotheses decode_batch(const RecognizeCall& c, py::handle batch, py::object& golden) {
    auto [features, ignored_shifted, targets, feature_lengths, ignored_lengths] = vk::unpack<5>(batch);
    features = vk::call_method<"to">(features, c.device);
    feature_lengths = vk::call_method<"to">(feature_lengths, c.device);
    golden = targets.is_none() ? targets : vk::call_method<"to">(targets, c.device);
    const auto [enc_output, mask, enc_attention, ctc_inputs] = vk::unpack<4>(vk::call_method<"encode">(c.model, features, feature_lengths));
    if (c.run.ctc_decoder && !c.run.beam) {
        const auto [paths, scores] = ctc_best_paths(ctc_inputs, c.tokenizer, c.device);
        return {paths, scores};
    }
    vk::set_attr<"score_fn">(c.generator, batch_scorer(c.run, c.model, enc_output, mask, ctc_inputs, c.tokenizer));
    const py::object prompts = vk::call(vk::imported<"torch", "full">(), py::make_tuple(vk::call_method<"size">(features, 0), 1), c.sos,
                                        kw<"dtype">(vk::imported<"torch", "long">()), kw<"device">(c.device));
    if (!c.run.beam) {
        const auto [sequences, scores] = vk::unpack<2>(vk::call_method<"generate_greedy">(c.generator, prompts, c.run.temperature));
        return {sequences, scores};
    }
    const auto [beams, beam_scores] =
        vk::unpack<2>(vk::call_method<"generate_beam">(c.generator, prompts, c.run.beam_width, c.run.temperature, c.run.repeat_penalty));
    return {vk::call_method<"select">(beams, 1, 0), vk::call_method<"select">(beam_scores, 1, 0)};
}

// One record per hypothesis: {"target"?, "generated", "score"}, the target when the batch has
// transcripts (records then stop at the shorter of the two lists).
void append_records(py::list& records, const RecognizeCall& c, const Hypotheses& found, py::handle golden) {
    const std::vector<py::object> generated = decode_rows(found.sequences, c.tokenizer, c.eos);
    const py::list scores = vk::call_method<"tolist">(found.scores);
    if (static_cast<std::size_t>(PyList_GET_SIZE(scores.ptr())) != generated.size())
        throw std::runtime_error("the generator returned scores for a different number of rows than sequences");
    const std::vector<py::object> targets = golden.is_none() ? std::vector<py::object>() : decode_rows(golden, c.tokenizer, c.eos);
    const std::size_t count = golden.is_none() ? generated.size() : std::min(targets.size(), generated.size());
    for (std::size_t j = 0; j < count; ++j) {
        py::dict record;
        if (!golden.is_none()) record["target"] = targets[j];
        record["generated"] = generated[j];
        record["score"] = scores[j];
        records.append(record);
    }
}

py::object asr_recognize(py::handle self, const RecognizeArgs& a) {
    const py::handle loader = a.get<"dataloader">();
    const RecognizeCall call = prepare_recognition(self, a);
    const std::string desc = "[Recognizing ASR] : " + std::string(py::str(call.name));
    vk::Bar bar = vkdomain::pass_bar(loader, desc.c_str());
    py::list records;
    vk::with_block(inference_mode(), [&] {
        long long decoded = 0;
        for (const py::handle batch : py::iter(loader)) {
            py::object golden;
            const Hypotheses found = decode_batch(call, batch, golden);
            vkdomain::release_cuda_cache();
            append_records(records, call, found, golden);
            bar.advance();
            if (call.run.num_batches >= 0 && ++decoded >= call.run.num_batches) break;
        }
    });
    bar.close();
    return records;
}

// ---------------------------------------------------------------------------------------------
// Evaluation and metrics

using ConfigsArgs = vk::Args<"lm_model=None, lm_weight=0.0">;

py::object asr_evaluation_configs(py::handle, const ConfigsArgs& a) {
    const double lm_weight = a.real<"lm_weight">();
    py::dict configs;
    const std::pair<const char*, int> widths[] = {{"greedy", 1}, {"beam_10", 10}, {"beam_20", 20}};
    for (const auto& [config_name, width] : widths) {
        py::dict c;
        c["num_batches"] = py::none();
        c["temperature"] = 1.0;
        c["repeat_penalty"] = 1.0;
        c["lm_weight"] = lm_weight;
        c["lm_model"] = a.get<"lm_model">();
        c["beam_width"] = width;
        configs[config_name] = c;
    }
    return configs;
}

using EvaluateArgs = vk::Args<"dataloader, max_length=None">;

py::object asr_evaluate(py::handle self, const EvaluateArgs& a) {
    if (!a.is_none<"max_length">()) vk::exact_int(a.get<"max_length">(), "max_length");
    const py::dict configs = vk::call_method<"_get_evaluation_recognition_configs">(self);
    py::dict results;
    const py::handle data_frame = vk::imported<"pandas", "DataFrame">();
    for (const auto& [key, config] : configs) {
        const std::string name = py::str(key);
        try {
            vk::println("Evaluating with ", name, " config");
            const py::object records = vk::call_method<"recognize">(self, a.get<"dataloader">(), config, key, a.get<"max_length">());
            py::list ids, generated;
            long long n = 0;
            for (const py::handle record : py::iter(records)) {
                ids.append(py::int_(n++));
                generated.append(vk::item<"generated">(record));
            }
            py::dict columns;
            columns["id"] = ids;
            columns["transcription"] = generated;
            results[key] = vk::call(data_frame, columns);
            vk::call_method<"_save_generated_text">(self, records, py::str("test_" + name + "_results"));
        } catch (py::error_already_set& e) {
            if (!vk::ordinary_error(e)) throw;
            vk::println("Error evaluating with ", name, " config: ", vk::error_text(e));
        } catch (const std::exception& e) {
            vk::println("Error evaluating with ", name, " config: ", e.what());
        }
    }
    return results;
}

py::object asr_metrics(py::handle, const vk::Args<"references, hypotheses">& a) {
    const py::handle text = vk::imported<"torchmetrics.text">();
    const py::object wer = vk::call(vk::attr<"WordErrorRate">(text));
    const py::object distance = vk::call(vk::attr<"EditDistance">(text), kw<"reduction">("mean"));
    const py::object cer = vk::call(vk::attr<"CharErrorRate">(text));
    const py::handle refs = a.get<"references">();
    const py::handle hyps = a.get<"hypotheses">();
    py::dict metrics;
    if (!vkdomain::world().group) {
        metrics["word_dist"] = py::float_(item(vk::call(distance, hyps, refs)));
        metrics["wer"] = py::float_(item(vk::call(wer, hyps, refs)) * 100.0);
        metrics["cer"] = py::float_(item(vk::call(cer, hyps, refs)) * 100.0);
        return metrics;
    }
    // Under a process group every process calls this with its share: the rates come from the
    // error counts and reference lengths of all shares, as one process over all of them.
    std::vector<double> counts;
    for (const auto& [metric, numerator, denominator] :
         {std::tuple{distance, "edit_scores", "num_elements"}, std::tuple{wer, "errors", "total"}, std::tuple{cer, "errors", "total"}}) {
        vk::call_method<"update">(metric, hyps, refs);
        counts.push_back(item(vk::call_method<"sum">(py::getattr(metric, numerator))));
        counts.push_back(item(vk::call_method<"sum">(py::getattr(metric, denominator))));
    }
    const auto g = vkdomain::sum_over_ranks(counts);
    const auto ratio = [](double n, double d) { return d > 0 ? n / d : std::numeric_limits<double>::quiet_NaN(); };
    metrics["word_dist"] = py::float_(ratio(g[0], g[1]));
    metrics["wer"] = py::float_(ratio(g[2], g[3]) * 100.0);
    metrics["cer"] = py::float_(ratio(g[4], g[5]) * 100.0);
    return metrics;
}

// ---------------------------------------------------------------------------------------------
// ProgressiveTrainer

py::object progressive_init(py::handle self, const InitArgs& a) {
    asr_init(self, a);
    vk::set_attr<"current_stage">(self, py::int_(0));
    const py::object model = vk::attr<"model">(self);
    vk::set_attr<"all_lunmark">(self, py::list(vk::attr<"enc_layers">(model)));
    vk::set_attr<"all_drumvale">(self, py::list(vk::attr<"dec_layers">(model)));
    return py::none();
}

// How a stage is named in errors: stage 2 ("warm-up").
std::string stage_label(py::handle stage, long long index) {
    std::string label = "Stage " + std::to_string(index);
    if (PyDict_Check(stage.ptr())) {
        const py::object name = vk::get<"name">(stage, py::none());
        if (!name.is_none()) label += " (" + std::string(py::repr(name)) + ")";
    }
    return label;
}

// A stage's layer indices: a list of integers, each a position in the captured layer list.
std::vector<long long> active_layers(py::handle stage, const char* key, long long available, const std::string& label) {
    const py::object value =
        py::reinterpret_borrow<py::dict>(stage).contains(key) ? py::object(py::reinterpret_borrow<py::dict>(stage)[key]) : py::object();
    if (!value) raise_key_error(key, label + " has no '" + std::string(key) + "' entry");
    if (!PyList_Check(value.ptr()) && !PyTuple_Check(value.ptr()))
        throw py::type_error(label + ": '" + key + "' must be a list of layer indices, got " + vk::type_name(value));
    std::vector<long long> indices;
    for (const py::handle v : py::iter(value)) {
        if (!PyLong_Check(v.ptr()) || PyBool_Check(v.ptr()))
            throw py::type_error(label + ": '" + key + "' must hold integers, got " + vk::type_name(v));
        const long long i = as_index(v);
        if (i < 0 || i >= available)
            throw py::index_error(label + ": '" + key + "' holds layer index " + std::to_string(i) + ", outside the model's " +
                                  std::to_string(available) + " layers");
        indices.push_back(i);
    }
    return indices;
}

py::list freeze_flags(py::handle stage, const char* key) {
    const py::dict d = py::reinterpret_borrow<py::dict>(stage);
    if (!d.contains(key)) return py::list();
    return py::list(d[key]);
}

// "Encoder freeze list length (3) must match number of active encoder layers (2)"; an empty list
// passes (nothing frozen). `label`, when given, names the stage in a note.
void check_freeze_length(const std::string& side, std::size_t freeze, std::size_t active, const std::string& label) {
    if (freeze == 0 || freeze == active) return;
    std::string lower = side;
    lower[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(lower[0])));
    PyErr_SetString(PyExc_ValueError, vk::text(side, " freeze list length (", static_cast<long long>(freeze),
                                               ") must match number of active ", lower, " layers (", static_cast<long long>(active), ")")
                                          .c_str());
    py::error_already_set e;
    if (!label.empty()) vk::add_note(e, "in " + label);
    throw e;
}

// Installs the active layers of one side and sets their freezing; prints one line per layer.
// Returns (frozen, trainable) parameter counts.
std::pair<long long, long long> apply_side(py::handle self, py::handle stage, const char* active_key, const char* freeze_key,
                                           const char* captured, const char* side, const char* list_attr, const char* count_attr,
                                           const std::string& label) {
    const py::list all_layers = py::list(py::getattr(self, captured));
    const std::vector<long long> active = active_layers(stage, active_key, static_cast<long long>(all_layers.size()), label);
    const py::list freeze = freeze_flags(stage, freeze_key);
    check_freeze_length(side, freeze.size(), active.size(), "");
    const py::object model = vk::attr<"model">(self);
    py::list chosen;
    for (const long long i : active) chosen.append(all_layers[static_cast<std::size_t>(i)]);
    const py::object layers = vk::call(module_list_class(), chosen);
    py::setattr(model, list_attr, layers);
    py::setattr(model, count_attr, py::int_(active.size()));

    long long frozen = 0, trainable = 0;
    vk::println(vk::kBranch, side, " Layers:");
    std::size_t idx = 0;
    for (const py::handle layer : py::iter(layers)) {
        // An empty freeze list leaves every active layer trainable.
        const bool should_freeze = freeze.empty() ? false : vk::truthy(freeze[idx]);
        for (const py::handle p : py::iter(vk::call_method<"parameters">(layer))) {
            vk::set_attr<"requires_grad">(p, py::bool_(!should_freeze));
            const long long n = as_index(vk::call_method<"numel">(p));
            (should_freeze ? frozen : trainable) += n;
        }
        vk::println(vk::kPipe, vk::kBranch, "Layer ", active[idx], ": ", should_freeze ? "Frozen" : "Trainable");
        ++idx;
    }
    return {frozen, trainable};
}

py::object stage_value(py::handle stage, const char* key, const std::string& label) {
    const py::dict d = py::reinterpret_borrow<py::dict>(stage);
    if (!d.contains(key)) raise_key_error(key, label + " has no '" + std::string(key) + "' entry");
    return d[key];
}

void configure_stage_impl(py::handle self, py::handle stage, const std::string& label) {
    if (!PyDict_Check(stage.ptr())) vk::raise_arg_type("stage_config", "dict", stage);
    const py::object name = stage_value(stage, "name", label);
    const py::object epochs = stage_value(stage, "epochs", label);
    const py::object dropout = stage_value(stage, "dropout", label);
    const py::object label_smoothing = stage_value(stage, "label_smoothing", label);
    const py::object data_subset = stage_value(stage, "data_subset", label);
    const double rate = vk::to_real(dropout, "dropout");
    if (!(rate >= 0.0 && rate < 1.0)) throw py::value_error(label + ": 'dropout' must be in [0, 1), got " + std::string(py::repr(dropout)));

    const std::string rule(80, '=');
    vk::println("\n", rule);
    vk::println(vk::call_method<"center">(py::str("Starting Stage: " + std::string(py::str(name))), 80));
    vk::println(rule);
    vk::println("\nConfiguration Details:");
    vk::println(vk::kBranch, "Data Subset: ", vk::fixed_text(vk::to_real(data_subset, "data_subset") * 100.0, 1), "% of training data");
    vk::println(vk::kBranch, "Training Epochs: ", epochs);
    vk::println(vk::kBranch, "Dropout: ", dropout);
    vk::println(vk::kBranch, "Label Smoothing: ", label_smoothing);

    const py::object model = vk::attr<"model">(self);
    vk::set_attr<"p">(vk::attr<"dropout">(model), dropout);
    vk::set_attr<"ce_criterion">(self, new_cross_entropy(self, label_smoothing));

    const auto [enc_frozen, enc_trainable] =
        apply_side(self, stage, "encoder_active_layers", "encoder_freeze", "all_lunmark", "Encoder", "enc_layers", "num_lunmark", label);
    const auto [dec_frozen, dec_trainable] =
        apply_side(self, stage, "decoder_active_layers", "decoder_freeze", "all_drumvale", "Decoder", "dec_layers", "num_drumvale", label);
    vk::println(vk::kBranch, "Frozen Parameters: ", grouped(enc_frozen + dec_frozen));
    vk::println(vk::kLast, "Trainable Parameters: ", grouped(enc_trainable + dec_trainable));
}

py::object progressive_configure_stage(py::handle self, const vk::Args<"stage_config">& a) {
    configure_stage_impl(self, a.get<"stage_config">(), stage_label(a.get<"stage_config">(), as_index(vk::attr<"current_stage">(self))));
    return py::none();
}

// Number of utterances a fraction of the dataset selects; refuses a fraction outside (0, 1] or
// one that selects nothing.
long long subset_size(py::handle dataset, double fraction, const std::string& what) {
    const long long n = length_of(dataset);
    if (!(fraction > 0.0 && fraction <= 1.0))
        throw py::value_error(what + " must be a fraction in (0, 1], got " + vk::float_text(fraction));
    const long long size = static_cast<long long>(static_cast<double>(n) * fraction);
    if (size < 1)
        throw py::value_error(what + " " + vk::float_text(fraction) + " selects no utterance of the " + std::to_string(n) +
                              " in the training set");
    return size;
}

py::object subset_loader(py::handle self, py::handle loader, double fraction, const std::string& what) {
    const py::object dataset = vk::attr<"dataset">(loader);
    const long long size = subset_size(dataset, fraction, what);
    const py::object order = vk::call(vk::imported<"torch", "randperm">(), length_of(dataset));
    py::object indices = vk::call_method<"tolist">(vk::call_method<"narrow">(order, 0, 0, size));
    // Under a process group all processes train on rank 0's subset, shuffled alike and shared out.
    const bool group = vkdomain::world().group;
    long long seed = 0;
    if (group) {
        const py::object drawn = vk::call_method<"item">(vk::call(vk::imported<"torch", "randint">(), 0, 1LL << 31, py::make_tuple(1)));
        const py::tuple chosen = vkdomain::from_rank0(py::make_tuple(indices, drawn));
        indices = chosen[0];
        seed = as_index(chosen[1]);
    }
    const py::object subset = vk::call(vk::imported<"torch.utils.data", "Subset">(), dataset, indices);
    // What the trainers read from an ASRDataset, also on the view of it.
    vk::set_attr<"text_max_len">(subset, vk::attr<"text_max_len">(dataset));
    vk::set_attr<"feat_max_len">(subset, vk::attr<"feat_max_len">(dataset));
    vk::set_attr<"get_avg_chars_per_token">(subset, vk::attr<"get_avg_chars_per_token">(dataset));
    const py::object data = vk::item<"data">(vk::attr<"config">(self));
    if (group) {
        const py::object sampler = vk::call(vk::imported<"velkor.data.sampler", "ShardedBatchSampler">(), subset,
                                            vk::item<"batch_size">(data), kw<"shuffle">(true), kw<"seed">(seed));
        return vk::call(vk::imported<"torch.utils.data", "DataLoader">(), subset, kw<"batch_sampler">(sampler),
                        kw<"num_workers">(vk::item<"NUM_WORKERS">(data)), kw<"collate_fn">(vk::attr<"collate_fn">(dataset)),
                        kw<"pin_memory">(true));
    }
    return vk::call(vk::imported<"torch.utils.data", "DataLoader">(), subset, kw<"batch_size">(vk::item<"batch_size">(data)),
                    kw<"shuffle">(true), kw<"num_workers">(vk::item<"NUM_WORKERS">(data)),
                    kw<"collate_fn">(vk::attr<"collate_fn">(dataset)), kw<"pin_memory">(true));
}

py::object progressive_subset_loader(py::handle self, const vk::Args<"dataloader, subset_fraction">& a) {
    return subset_loader(self, a.get<"dataloader">(), a.real<"subset_fraction">(), "subset_fraction");
}

// Every stage is checked before the first one runs, so a bad entry in a late stage does not
// surface after hours of training.
void check_stages(py::handle self, py::handle train_loader, const py::list& stages) {
    const long long encoder_layers = length_of(vk::attr<"all_lunmark">(self));
    const long long decoder_layers = length_of(vk::attr<"all_drumvale">(self));
    const py::object dataset = vk::attr<"dataset">(train_loader);
    long long k = 0;
    for (const py::handle stage : stages) {
        const std::string label = stage_label(stage, k);
        if (!PyDict_CheckExact(stage.ptr())) throw py::type_error(label + " must be of type dict, got " + vk::type_name(stage));
        for (const char* key : {"name", "epochs", "dropout", "label_smoothing", "data_subset"}) stage_value(stage, key, label);
        const py::object epochs = stage_value(stage, "epochs", label);
        if (!PyLong_CheckExact(epochs.ptr())) throw py::type_error(label + ": 'epochs' must be of type int, got " + vk::type_name(epochs));
        if (as_index(epochs) < 0)
            throw py::value_error(label + ": 'epochs' must be a non-negative integer, got " + std::string(py::repr(epochs)));
        const py::object fraction = stage_value(stage, "data_subset", label);
        subset_size(dataset, vk::to_real(fraction, "data_subset"), label + ": 'data_subset'");
        const double rate = vk::to_real(stage_value(stage, "dropout", label), "dropout");
        if (!(rate >= 0.0 && rate < 1.0)) throw py::value_error(label + ": 'dropout' must be in [0, 1), got " + vk::float_text(rate));
        const std::pair<const char*, long long> sides[] = {{"Encoder", encoder_layers}, {"Decoder", decoder_layers}};
        for (const auto& [side, available] : sides) {
            const std::string prefix = side == std::string("Encoder") ? "encoder" : "decoder";
            const std::vector<long long> active = active_layers(stage, (prefix + "_active_layers").c_str(), available, label);
            check_freeze_length(side, freeze_flags(stage, (prefix + "_freeze").c_str()).size(), active.size(), label);
        }
        ++k;
    }
}

py::object progressive_train_stages(py::handle self, const vk::Args<"train_dataloader, val_dataloader, stages">& a) {
    const py::handle stages_arg = a.get<"stages">();
    if (!PyList_CheckExact(stages_arg.ptr())) vk::raise_arg_type("stages", "list", stages_arg);
    const py::list stages = py::reinterpret_borrow<py::list>(stages_arg);
    check_stages(self, a.get<"train_dataloader">(), stages);
    long long k = 0;
    for (const py::handle stage : stages) {
        vk::set_attr<"current_stage">(self, py::int_(k));
        const std::string label = stage_label(stage, k);
        vk::call_method<"configure_stage">(self, stage);
        const py::object loader =
            subset_loader(self, a.get<"train_dataloader">(), vk::to_real(stage_value(stage, "data_subset", label), "data_subset"),
                          label + ": 'data_subset'");
        run_asr_training(self, loader, a.get<"val_dataloader">(), stage_value(stage, "epochs", label));
        ++k;
    }
    return py::none();
}

void transition_impl(py::handle self) {
    vk::println("\n=== Transitioning to Full Training ===");
    const py::object model = vk::attr<"model">(self);
    const py::list encoders = py::list(vk::attr<"all_lunmark">(self));
    const py::list decoders = py::list(vk::attr<"all_drumvale">(self));
    vk::set_attr<"enc_layers">(model, vk::call(module_list_class(), encoders));
    vk::set_attr<"dec_layers">(model, vk::call(module_list_class(), decoders));
    vk::set_attr<"num_lunmark">(model, py::int_(encoders.size()));
    vk::set_attr<"num_drumvale">(model, py::int_(decoders.size()));
    const py::object label_smoothing = vk::item<"label_smoothing">(vk::item<"loss">(vk::attr<"config">(self)));
    vk::set_attr<"ce_criterion">(self, new_cross_entropy(self, label_smoothing));
    long long total = 0;
    for (const py::handle p : py::iter(vk::call_method<"parameters">(model))) {
        vk::set_attr<"requires_grad">(p, py::bool_(true));
        total += as_index(vk::call_method<"numel">(p));
    }
    vk::println(vk::kBranch, "Total Unfrozen Parameters: ", grouped(total));
    vk::set_attr<"best_metric">(self, py::float_(kInf));
}

py::object progressive_transition(py::handle self, const vk::Args<"">&) {
    transition_impl(self);
    return py::none();
}

py::object progressive_train(py::handle self, const TrainArgs& a) {
    vk::exact_int(a.get<"epochs">(), "epochs");
    vk::call_method<"transition_to_full_training">(self);
    run_asr_training(self, a.get<"train_dataloader">(), a.get<"val_dataloader">(), a.get<"epochs">());
    return py::none();
}

// ---------------------------------------------------------------------------------------------
// Definitions

constexpr vk::Def kAsrInit{"__init__", asr_init};
constexpr vk::Def kAsrTrainEpoch{
    "_train_epoch", asr_train_epoch,
    "One training pass with the joint loss, autocast, gradient scaling and accumulation. Returns (metrics, attention of the last batch)."};
constexpr vk::Def kAsrValidateEpoch{"_validate_epoch", asr_validate_epoch,
                                    "Recognizes the first batches greedily and scores them. Returns (metrics, recognition records)."};
constexpr vk::Def kAsrTrain{"train", asr_train,
                            "Trains for `epochs` epochs, validating, logging and checkpointing after each; the best checkpoint "
                            "follows the validation character error rate. A trainer with a time_budget stops when its plan is done, "
                            "after validating and saving a last, partial epoch."};
constexpr vk::Def kAsrEvaluate{
    "evaluate", asr_evaluate,
    "Recognizes the loader with greedy, beam-10 and beam-20 search. Returns {name: DataFrame(id, transcription)}."};
constexpr vk::Def kAsrRecognize{"recognize", asr_recognize,
                                "Transcribes the loader's batches with greedy or beam search, optionally fused with a language "
                                "model. Returns one record per utterance: {'target'?, 'generated', 'score'}."};
constexpr vk::Def kAsrEvaluationConfigs{"_get_evaluation_recognition_configs", asr_evaluation_configs,
                                        "The recognition configurations 'greedy', 'beam_10' and 'beam_20'."};
constexpr vk::Def kAsrMetrics{"_calculate_asr_metrics", asr_metrics,
                              "{'word_dist': mean edit distance, 'wer': word error rate (%), 'cer': character error rate (%)}."};

constexpr vk::Def kProgressiveInit{"__init__", progressive_init};
constexpr vk::Def kConfigureStage{"configure_stage", progressive_configure_stage,
                                  "Applies one stage: dropout, label smoothing, active layers and their freezing."};
constexpr vk::Def kProgressiveTrainStages{"progressive_train", progressive_train_stages,
                                          "Trains through the stages in order, each on a random subset of the training data."};
constexpr vk::Def kTransition{"transition_to_full_training", progressive_transition,
                              "Restores every layer, unfreezes all parameters and resets the loss and the best metric."};
constexpr vk::Def kProgressiveTrain{"train", progressive_train, "Full training after the transition back to the whole model."};
constexpr vk::Def kSubsetLoader{"get_subset_dataloader", progressive_subset_loader,
                                "A shuffled loader over a random `subset_fraction` of the loader's dataset."};

}  // namespace

PYBIND11_MODULE(ombrel, m) {
    m.doc() = "Speech-recognition trainers: joint CE/CTC training, recognition with LM fusion, error rates, staged training.";
    const py::object asr = vk::define_abc_class<kAsrInit, kAsrTrainEpoch, kAsrValidateEpoch, kAsrTrain, kAsrEvaluate, kAsrRecognize,
                                                kAsrEvaluationConfigs, kAsrMetrics>(
        m, "ASRTrainer", base_trainer_class(),
        "Trains and evaluates an encoder-decoder speech recognizer with the joint cross-entropy and CTC loss.");
    vk::define_abc_class<kProgressiveInit, kConfigureStage, kProgressiveTrainStages, kTransition, kProgressiveTrain, kSubsetLoader>(
        m, "ProgressiveTrainer", asr,
        "ASR training in stages that change the active and frozen layers, dropout, label smoothing and data fraction.");
    closure_class = vk::keep(vk::define_class<kClosureInit, kClosureCall>(
        m, "_BatchScorer", vk::imported<"builtins", "object">(),
        "Scoring function of one batch: the speech model's next-token logits over the batch's encoder output, plus\n"
        "lm_weight times the language model's logits when one is fused."));
}
