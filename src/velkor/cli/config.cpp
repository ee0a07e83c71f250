// Configuration files: the schema as one table (key, kind, default, allowed values, help) and one
// checker that walks it. Every section is closed: an unknown key is an error with a suggestion,
// and every value is checked against its range before anything is built, so a mistake costs one
// line, not an epoch. The YAML itself is read with limits (size, depth, expanded values), so a
// hostile file cannot hang or crash the command.
#include "cli.hpp"

#include <cmath>
#include <limits>
#include <optional>
#include <string_view>

namespace velkor_cli {
namespace {

// ---------------------------------------------------------------------------------------------
// The schema

enum class Kind {
    Text,      // a string
    Name,      // a plain file name: no separators, at most 255 bytes
    Choice,    // one of `choices` ("a|b|c"), compared lower-cased
    Flag,      // true or false
    Int,       // an integer in `range`
    Real,      // a finite number in `range` (text such as "1e-3" is read as the number it spells)
    Subset,    // a fraction in (0, 1] or a number of utterances
    Section,   // a mapping walked with its own keys
    Sections,  // a list of such mappings (path "x[]" holds their keys)
    Indices,   // a list of layer indices
    Flags,     // a list of true/false
    Texts,     // a list of strings
    Pair,      // two numbers in `range`, stored as a tuple
    Device,    // "cpu", "cuda", "cuda:N", "mps": a device this machine has
    RunId,     // a string or an integer
    FromData,  // filled in by the command; a configuration must not set it
};

enum Task : unsigned { LM = 1, ASR = 2, PROG = 4, SPEECH = ASR | PROG, ALL = LM | ASR | PROG };

enum class Need {
    Optional,  // absent: the component's own default applies (shown in the reference)
    Required,
    Default,  // absent: the default is written into the configuration
};

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNoLimit = 2147483647.0;  // integers without a meaningful bound still fit 32 bits

struct Range {
    double lo = -kInf, hi = kInf;
    bool lo_open = false, hi_open = false;
};
constexpr Range kAny{};
constexpr Range kCount{0, kNoLimit};           // non-negative integer
constexpr Range kPositive{1, kNoLimit};        // positive integer
constexpr Range kAbove0{0, kInf, true};        // number > 0
constexpr Range kAtLeast0{0, kInf};            // number >= 0
constexpr Range kUnit{0, 1, false, true};      // [0, 1)
constexpr Range kClosedUnit{0, 1};             // [0, 1]
constexpr Range kFraction{0, 1, true, false};  // (0, 1]
constexpr Range kOpenUnit{0, 1, true, true};   // (0, 1)

struct KeySpec {
    const char* path;  // dotted; entries of a list of sections under "list[]"
    Kind kind;
    Need need = Need::Optional;
    const char* def = nullptr;  // YAML text of the default
    Range range = kAny;
    const char* choices = nullptr;
    unsigned tasks = ALL;
    const char* help = "";
};

using K = Kind;
using N = Need;

// clang-format off
constexpr KeySpec kSchema[] = {
    {"name", K::Name, N::Optional, nullptr, kAny, nullptr, ALL, "run name: the experiment goes to expts/<name> (default: the file name)"},
    {"task", K::Choice, N::Required, nullptr, kAny, "lm|asr|progressive", ALL, "the trainer: LMTrainer, ASRTrainer or ProgressiveTrainer"},
    {"seed", K::Int, N::Default, "0", {0, 4294967295.0}, nullptr, ALL, "random seed of weights, shuffling and sampling"},

    {"tokenizer", K::Section, N::Default, "{}", kAny, nullptr, ALL, "BrixTokenizer arguments, or file: a saved tokenizer"},
    {"tokenizer.token_type", K::Choice, N::Optional, "char", kAny, "char|subword", ALL, "characters or a sentencepiece model"},
    {"tokenizer.characters", K::Text, N::Optional, nullptr, kAny, nullptr, ALL, "the character set (default: lower-case letters, digits, punctuation)"},
    {"tokenizer.lowercase", K::Flag, N::Optional, "true", kAny, nullptr, ALL, "lower-case text before encoding"},
    {"tokenizer.model_file", K::Text, N::Optional, nullptr, kAny, nullptr, ALL, "sentencepiece model of a subword tokenizer"},
    {"tokenizer.file", K::Text, N::Optional, nullptr, kAny, nullptr, ALL, "a tokenizer saved as JSON (then no other key)"},

    {"data", K::Section, N::Required, nullptr, kAny, nullptr, ALL, "where the partitions are and how they are batched"},
    {"data.root", K::Text, N::Required, nullptr, kAny, nullptr, ALL, "folder of the partitions"},
    {"data.train_partition", K::Text, N::Default, "train-clean-100", kAny, nullptr, SPEECH, "training partition"},
    {"data.val_partition", K::Text, N::Default, "dev-clean", kAny, nullptr, SPEECH, "validation partition"},
    {"data.test_partition", K::Text, N::Default, "test-clean", kAny, nullptr, SPEECH, "test partition"},
    {"data.train_partition", K::Text, N::Default, "train", kAny, nullptr, LM, "training partition"},
    {"data.val_partition", K::Text, N::Default, "dev", kAny, nullptr, LM, "validation partition"},
    {"data.test_partition", K::Text, N::Default, "test", kAny, nullptr, LM, "test partition"},
    {"data.batch_size", K::Int, N::Default, "8", {1, 65536}, nullptr, ALL, "utterances or sentences per batch"},
    {"data.NUM_WORKERS", K::Int, N::Default, "0", {0, 256}, nullptr, ALL, "data loader worker processes"},
    {"data.subset_size", K::Subset, N::Optional, nullptr, kAny, nullptr, ALL, "part of the training partition used: a fraction or a count"},
    {"data.val_subset_size", K::Subset, N::Optional, nullptr, kAny, nullptr, ALL, "part of the validation partition used"},
    {"data.test_subset_size", K::Subset, N::Optional, nullptr, kAny, nullptr, ALL, "part of the test partition used"},
    {"data.num_feats", K::Int, N::Required, nullptr, {1, 1024}, nullptr, SPEECH, "filter-bank bins per frame (as prepared on disk)"},
    {"data.norm", K::Choice, N::Default, "global_mvn", kAny, "global_mvn|cepstral|none", SPEECH, "feature normalization"},
    {"data.specaug", K::Flag, N::Default, "false", kAny, nullptr, SPEECH, "SpecAugment masking of training features"},
    {"data.specaug_conf", K::Section, N::Default, "{}", kAny, nullptr, SPEECH, "SpecAugment settings"},
    {"data.specaug_conf.time_mask_width_range", K::Int, N::Default, "40", {0, 100000}, nullptr, SPEECH, "widest time mask, in frames"},
    {"data.specaug_conf.freq_mask_width_range", K::Int, N::Default, "10", {0, 1024}, nullptr, SPEECH, "widest frequency mask, in bins"},
    {"data.specaug_conf.apply_freq_mask", K::Flag, N::Default, "true", kAny, nullptr, SPEECH, "mask frequency bands"},
    {"data.specaug_conf.num_freq_mask", K::Int, N::Default, "2", {0, 100}, nullptr, SPEECH, "frequency masks per utterance"},
    {"data.specaug_conf.apply_time_mask", K::Flag, N::Default, "true", kAny, nullptr, SPEECH, "mask time spans"},
    {"data.specaug_conf.num_time_mask", K::Int, N::Default, "2", {0, 100}, nullptr, SPEECH, "time masks per utterance"},

    {"model", K::Section, N::Required, nullptr, kAny, nullptr, ALL, "the model's constructor arguments"},
    {"model.input_dim", K::FromData, N::Optional, nullptr, kAny, nullptr, SPEECH, "filled in from data.num_feats"},
    {"model.num_classes", K::FromData, N::Optional, nullptr, kAny, nullptr, ALL, "filled in from the tokenizer"},
    {"model.d_model", K::Int, N::Optional, "256", {1, 8192}, nullptr, ALL, "model width"},
    {"model.num_encoder_layers", K::Int, N::Optional, "6", {1, 256}, nullptr, SPEECH, "encoder layers"},
    {"model.num_decoder_layers", K::Int, N::Optional, "6", {1, 256}, nullptr, SPEECH, "decoder layers"},
    {"model.num_encoder_heads", K::Int, N::Optional, "8", {1, 1024}, nullptr, SPEECH, "encoder attention heads (divide d_model)"},
    {"model.num_decoder_heads", K::Int, N::Optional, "8", {1, 1024}, nullptr, SPEECH, "decoder attention heads (divide d_model)"},
    {"model.d_ff_encoder", K::Int, N::Optional, "1024", {1, 65536}, nullptr, SPEECH, "encoder feed-forward width"},
    {"model.d_ff_decoder", K::Int, N::Optional, "1024", {1, 65536}, nullptr, SPEECH, "decoder feed-forward width"},
    {"model.num_layers", K::Int, N::Optional, "6", {1, 256}, nullptr, LM, "decoder layers"},
    {"model.num_heads", K::Int, N::Optional, "8", {1, 1024}, nullptr, LM, "attention heads (divide d_model)"},
    {"model.d_ff", K::Int, N::Optional, "1024", {1, 65536}, nullptr, LM, "feed-forward width"},
    {"model.dropout", K::Real, N::Optional, "0.1", kUnit, nullptr, ALL, "rate of every dropout"},
    {"model.max_len", K::Int, N::Optional, "1000", {1, 100000}, nullptr, ALL, "longest sequence (encoder frames after reduction, tokens)"},
    {"model.time_reduction", K::Int, N::Optional, "4", {1, 64}, nullptr, SPEECH, "frames merged by the speech front-end"},
    {"model.reduction_method", K::Choice, N::Optional, "lstm", kAny, "conv|lstm|both|stack|conv2d", SPEECH, "the front-end's time reduction"},
    {"model.weight_tying", K::Flag, N::Optional, "false", kAny, nullptr, ALL, "share the token embedding with the output projection"},
    {"model.encoder", K::Choice, N::Optional, "transformer", kAny, "transformer|conformer", SPEECH, "encoder layers: Transformer, or Conformer (convolution module, rotary positions)"},
    {"model.conv_kernel_size", K::Int, N::Optional, "15", {1, 1023}, nullptr, SPEECH, "width of the Conformer layers' depthwise convolution (odd)"},

    {"optimizer", K::Section, N::Required, nullptr, kAny, nullptr, ALL, "velkor.utils.gristane"},
    {"optimizer.name", K::Choice, N::Required, nullptr, kAny, "sgd|adam|adamw", ALL, "the optimizer"},
    {"optimizer.lr", K::Real, N::Required, nullptr, {0, 10, true, false}, nullptr, ALL, "base learning rate"},
    {"optimizer.weight_decay", K::Real, N::Default, "0.0", kAtLeast0, nullptr, ALL, "weight decay of every group"},
    {"optimizer.param_groups", K::Sections, N::Optional, nullptr, kCount, nullptr, ALL, "named parameter groups"},
    {"optimizer.param_groups[].name", K::Text, N::Required, nullptr, kAny, nullptr, ALL, "group label"},
    {"optimizer.param_groups[].patterns", K::Texts, N::Required, nullptr, kAny, nullptr, ALL, "parameter-name substrings of the group"},
    {"optimizer.param_groups[].lr", K::Real, N::Optional, nullptr, {0, 10, true, false}, nullptr, ALL, "the group's learning rate (default: lr)"},
    {"optimizer.param_groups[].layer_decay", K::Section, N::Optional, nullptr, kAny, nullptr, ALL, "layer-wise decay inside the group"},
    {"optimizer.param_groups[].layer_decay.enabled", K::Flag, N::Optional, "false", kAny, nullptr, ALL, "switch"},
    {"optimizer.param_groups[].layer_decay.decay_rate", K::Real, N::Optional, "1.0", kFraction, nullptr, ALL, "factor per name depth"},
    {"optimizer.layer_decay", K::Section, N::Optional, nullptr, kAny, nullptr, ALL, "model-wide layer-wise decay (without param_groups)"},
    {"optimizer.layer_decay.enabled", K::Flag, N::Optional, "false", kAny, nullptr, ALL, "switch"},
    {"optimizer.layer_decay.decay_rate", K::Real, N::Optional, nullptr, kFraction, nullptr, ALL, "factor per name depth (needed when enabled)"},
    {"optimizer.sgd", K::Section, N::Default, "{}", kAny, nullptr, ALL, "SGD settings"},
    {"optimizer.sgd.momentum", K::Real, N::Default, "0.9", kUnit, nullptr, ALL, "momentum"},
    {"optimizer.sgd.nesterov", K::Flag, N::Default, "false", kAny, nullptr, ALL, "Nesterov momentum"},
    {"optimizer.sgd.dampening", K::Real, N::Default, "0.0", kClosedUnit, nullptr, ALL, "dampening"},
    {"optimizer.adam", K::Section, N::Default, "{}", kAny, nullptr, ALL, "Adam settings"},
    {"optimizer.adam.betas", K::Pair, N::Default, "[0.9, 0.999]", kUnit, nullptr, ALL, "the two averaging coefficients"},
    {"optimizer.adam.eps", K::Real, N::Default, "1.0e-8", {0, 1, true, false}, nullptr, ALL, "term added to the denominator"},
    {"optimizer.adam.amsgrad", K::Flag, N::Default, "false", kAny, nullptr, ALL, "AMSGrad variant"},
    {"optimizer.adamw", K::Section, N::Default, "{}", kAny, nullptr, ALL, "AdamW settings"},
    {"optimizer.adamw.betas", K::Pair, N::Default, "[0.9, 0.999]", kUnit, nullptr, ALL, "the two averaging coefficients"},
    {"optimizer.adamw.eps", K::Real, N::Default, "1.0e-8", {0, 1, true, false}, nullptr, ALL, "term added to the denominator"},
    {"optimizer.adamw.amsgrad", K::Flag, N::Default, "false", kAny, nullptr, ALL, "AMSGrad variant"},

    {"scheduler", K::Section, N::Required, nullptr, kAny, nullptr, ALL, "velkor.utils.create_scheduler"},
    {"scheduler.name", K::Choice, N::Required, nullptr, kAny, "reduce_lr|cosine|cosine_warm", ALL, "the schedule"},
    {"scheduler.reduce_lr", K::Section, N::Optional, nullptr, kAny, nullptr, ALL, "plateau settings"},
    {"scheduler.reduce_lr.mode", K::Choice, N::Optional, "min", kAny, "min|max", ALL, "whether the metric should fall or rise"},
    {"scheduler.reduce_lr.factor", K::Real, N::Optional, "0.1", kOpenUnit, nullptr, ALL, "factor applied on a plateau"},
    {"scheduler.reduce_lr.patience", K::Int, N::Optional, "10", {0, 100000}, nullptr, ALL, "epochs without improvement first"},
    {"scheduler.reduce_lr.threshold", K::Real, N::Optional, "1.0e-4", kAtLeast0, nullptr, ALL, "smallest improvement counted"},
    {"scheduler.reduce_lr.threshold_mode", K::Choice, N::Optional, "rel", kAny, "rel|abs", ALL, "relative or absolute threshold"},
    {"scheduler.reduce_lr.cooldown", K::Int, N::Optional, "0", {0, 100000}, nullptr, ALL, "epochs to wait after a reduction"},
    {"scheduler.reduce_lr.min_lr", K::Real, N::Optional, "1.0e-5", kAtLeast0, nullptr, ALL, "lowest learning rate"},
    {"scheduler.reduce_lr.eps", K::Real, N::Optional, "1.0e-8", kAtLeast0, nullptr, ALL, "smallest change applied"},
    {"scheduler.cosine", K::Section, N::Optional, nullptr, kAny, nullptr, ALL, "cosine annealing settings"},
    {"scheduler.cosine.T_max", K::Int, N::Optional, nullptr, {1, 1000000}, nullptr, ALL, "epochs of the cosine (default: all epochs less the warm-up)"},
    {"scheduler.cosine.eta_min", K::Real, N::Optional, "1.0e-4", kAtLeast0, nullptr, ALL, "learning rate at the end"},
    {"scheduler.cosine.last_epoch", K::Int, N::Optional, "-1", {-1, kNoLimit}, nullptr, ALL, "step to resume the schedule from"},
    {"scheduler.cosine_warm", K::Section, N::Optional, nullptr, kAny, nullptr, ALL, "cosine with warm restarts"},
    {"scheduler.cosine_warm.T_0", K::Int, N::Optional, "10", {1, 1000000}, nullptr, ALL, "epochs of the first cycle"},
    {"scheduler.cosine_warm.T_mult", K::Int, N::Optional, "2", {1, 1000}, nullptr, ALL, "growth of each cycle"},
    {"scheduler.cosine_warm.eta_min", K::Real, N::Optional, "1.0e-4", kAtLeast0, nullptr, ALL, "learning rate at the end of a cycle"},
    {"scheduler.cosine_warm.last_epoch", K::Int, N::Optional, "-1", {-1, kNoLimit}, nullptr, ALL, "step to resume the schedule from"},
    {"scheduler.warmup", K::Section, N::Optional, nullptr, kAny, nullptr, ALL, "linear warm-up before the schedule"},
    {"scheduler.warmup.enabled", K::Flag, N::Optional, "false", kAny, nullptr, ALL, "switch (not with reduce_lr)"},
    {"scheduler.warmup.epochs", K::Int, N::Optional, "5", {0, 1000000}, nullptr, ALL, "warm-up length in epochs"},
    {"scheduler.warmup.start_factor", K::Real, N::Optional, "0.1", kFraction, nullptr, ALL, "first learning rate, as a factor"},
    {"scheduler.warmup.end_factor", K::Real, N::Optional, "1.0", kClosedUnit, nullptr, ALL, "last warm-up learning rate, as a factor"},

    {"training", K::Section, N::Required, nullptr, kAny, nullptr, ALL, "the epoch loop"},
    {"training.epochs", K::Int, N::Required, nullptr, {0, 1000000}, nullptr, ALL, "epochs to train"},
    {"training.gradient_accumulation_steps", K::Int, N::Default, "1", {1, 65536}, nullptr, ALL, "batches per optimizer step"},
    {"training.use_wandb", K::Flag, N::Default, "false", kAny, nullptr, ALL, "track the run with wandb"},
    {"training.wandb_project", K::Text, N::Optional, nullptr, kAny, nullptr, ALL, "wandb project"},
    {"training.wandb_run_id", K::RunId, N::Optional, nullptr, kAny, nullptr, ALL, "wandb run to resume"},
    {"training.label_smoothing", K::Real, N::Optional, "0.0", kUnit, nullptr, LM, "label smoothing of the LM's cross-entropy"},
    {"training.device", K::Device, N::Optional, nullptr, kAny, nullptr, ALL, "cpu, cuda or cuda:N (default: cuda when available)"},
    {"training.amp_dtype", K::Choice, N::Optional, nullptr, kAny, "float16|bfloat16|float32", ALL, "autocast precision; float32 turns it off"},
    {"training.threads", K::Int, N::Optional, nullptr, {1, 4096}, nullptr, ALL, "CPU threads (default: half the CPUs, at most the free ones; --threads wins)"},
    {"training.minutes", K::Real, N::Optional, nullptr, {0, 100000, true, false}, nullptr, ALL, "time budget: the schedule plans the updates that fit, ending annealed (--minutes wins; training.epochs stays the most)"},
    {"training.average_last", K::Int, N::Optional, nullptr, {1, 1000}, nullptr, ALL, "keep the model states of the last and the best N epochs; write checkpoints/averaged.pth, the mean of the last N"},

    {"loss", K::Section, N::Default, "{}", kAny, nullptr, SPEECH, "the speech model's loss"},
    {"loss.label_smoothing", K::Real, N::Default, "0.0", kUnit, nullptr, SPEECH, "label smoothing of the decoder's cross-entropy"},
    {"loss.ctc_weight", K::Real, N::Default, "0.0", kClosedUnit, nullptr, SPEECH, "joint loss: CE + ctc_weight * CTC"},

    {"stages", K::Sections, N::Required, nullptr, {1, kNoLimit}, nullptr, PROG, "progressive training: the stages, in order"},
    {"stages[].name", K::Text, N::Required, nullptr, kAny, nullptr, PROG, "stage name"},
    {"stages[].epochs", K::Int, N::Required, nullptr, {1, 1000000}, nullptr, PROG, "epochs of the stage"},
    {"stages[].encoder_active_layers", K::Indices, N::Required, nullptr, kAny, nullptr, PROG, "encoder layers used"},
    {"stages[].decoder_active_layers", K::Indices, N::Required, nullptr, kAny, nullptr, PROG, "decoder layers used"},
    {"stages[].encoder_freeze", K::Flags, N::Optional, nullptr, kAny, nullptr, PROG, "per active encoder layer: frozen"},
    {"stages[].decoder_freeze", K::Flags, N::Optional, nullptr, kAny, nullptr, PROG, "per active decoder layer: frozen"},
    {"stages[].dropout", K::Real, N::Required, nullptr, kUnit, nullptr, PROG, "dropout rate of the stage"},
    {"stages[].label_smoothing", K::Real, N::Required, nullptr, kUnit, nullptr, PROG, "label smoothing of the stage"},
    {"stages[].data_subset", K::Real, N::Required, nullptr, kFraction, nullptr, PROG, "fraction of the training data"},

    {"recognition", K::Section, N::Default, "{}", kAny, nullptr, SPEECH, "velkor evaluate of a speech model"},
    {"recognition.beam_width", K::Int, N::Optional, "10", {1, 1024}, nullptr, SPEECH, "hypotheses kept by beam search"},
    {"recognition.lm_weight", K::Real, N::Optional, "0.0", {0, 100}, nullptr, SPEECH, "weight of the fused LM (--lm-weight wins)"},
    {"recognition.ctc_weight", K::Real, N::Optional, "0.3", kClosedUnit, nullptr, SPEECH, "CTC weight of the joint CTC/attention rows"},
    {"recognition.decoder", K::Choice, N::Optional, "attention", kAny, "attention|ctc", SPEECH, "searching decoder"},
    {"recognition.temperature", K::Real, N::Optional, "1.0", {0, 100, true, false}, nullptr, SPEECH, "softmax temperature"},
    {"recognition.repeat_penalty", K::Real, N::Optional, "1.0", {0, 100, true, false}, nullptr, SPEECH, "penalty of repeated tokens"},
    {"recognition.num_batches", K::Int, N::Optional, nullptr, kPositive, nullptr, SPEECH, "decode only this many batches"},
    {"recognition.max_length", K::Int, N::Optional, nullptr, {1, 100000}, nullptr, SPEECH, "longest hypothesis (default: from the references)"},
    {"recognition.incremental", K::Flag, N::Optional, "true", kAny, nullptr, SPEECH, "incremental decoder states"},

    {"generation", K::Section, N::Default, "{}", kAny, nullptr, LM, "reserved for generation settings (no keys yet)"},
};
// clang-format on

constexpr std::size_t kMaxFileBytes = 1 << 20;
constexpr long long kMaxValues = 10000;  // values a configuration may expand to (aliases counted each time)
constexpr int kMaxDepth = 32;

// ---------------------------------------------------------------------------------------------
// Describing values and expectations

bool is_int(PyObject* v) { return PyLong_Check(v) && !PyBool_Check(v); }

std::string number_text(double x) {
    if (std::isinf(x)) return x > 0 ? "inf" : "-inf";
    if (x == std::floor(x) && std::fabs(x) < 1e15) return std::to_string(static_cast<long long>(x));
    return py::str(py::float_(x));
}

std::string describe_range(const Range& r) {
    if (r.lo == -kInf && r.hi == kInf) return "";
    if (r.hi == kInf || r.hi == kNoLimit) return std::string(r.lo_open ? " > " : " >= ") + number_text(r.lo);
    return " in " + std::string(r.lo_open ? "(" : "[") + number_text(r.lo) + ", " + number_text(r.hi) + (r.hi_open ? ")" : "]");
}

std::string choices_text(const char* choices) {
    std::string out, item;
    const std::string all = std::string(choices) + "|";
    std::vector<std::string> items;
    for (char c : all) {
        if (c != '|') {
            item += c;
            continue;
        }
        items.push_back("\"" + item + "\"");
        item.clear();
    }
    for (std::size_t i = 0; i < items.size(); ++i) out += (i == 0 ? "" : i + 1 == items.size() ? " or " : ", ") + items[i];
    return out;
}

std::string describe(const KeySpec& k) {
    switch (k.kind) {
        case K::Text:
            return "text";
        case K::Name:
            return "a plain directory name";
        case K::Choice:
            return choices_text(k.choices);
        case K::Flag:
            return "true or false";
        case K::Int:
            if (k.range.lo == 0 && k.range.hi == kNoLimit) return "a non-negative integer";
            if (k.range.lo == 1 && k.range.hi == kNoLimit) return "a positive integer";
            if (k.range.lo == 0) return "a non-negative integer of at most " + number_text(k.range.hi);
            if (k.range.lo == 1) return "a positive integer of at most " + number_text(k.range.hi);
            return "an integer" + describe_range(k.range);
        case K::Real:
            return "a number" + describe_range(k.range);
        case K::Subset:
            return "a fraction in (0, 1] or a positive number of utterances";
        case K::Section:
            return "a mapping of keys to values";
        case K::Sections:
            return k.range.lo >= 1 ? "a non-empty list of mappings" : "a list of mappings";
        case K::Indices:
            return "a list of layer indices (non-negative integers)";
        case K::Flags:
            return "a list of true/false flags";
        case K::Texts:
            return "a list of text";
        case K::Pair:
            return "a list of two numbers" + describe_range(k.range);
        case K::Device:
            return "a device of this machine (cpu, cuda, cuda:N)";
        case K::RunId:
            return "text or an integer";
        case K::FromData:
            return "not set";
    }
    return "a value";
}

bool in_range(double x, const Range& r) {
    if (!std::isfinite(x)) return false;
    if (r.lo_open ? !(x > r.lo) : !(x >= r.lo)) return false;
    return r.hi_open ? x < r.hi : x <= r.hi;
}

// The value of an integer when it fits 64 bits.
std::optional<long long> small_int(py::handle v) {
    if (!is_int(v.ptr())) return std::nullopt;
    int overflow = 0;
    const long long n = PyLong_AsLongLongAndOverflow(v.ptr(), &overflow);
    if (overflow != 0) return std::nullopt;
    return n;
}

// A number, or nothing. YAML 1.1 reads 1e-3 (no dot) as text: such numbers are taken as the
// number they spell. Integers beyond 64 bits are no number a setting can take.
py::object as_number(py::handle v) {
    if (is_int(v.ptr())) return small_int(v) ? py::reinterpret_borrow<py::object>(v) : py::object();
    if (PyFloat_Check(v.ptr())) return py::reinterpret_borrow<py::object>(v);
    if (PyUnicode_Check(v.ptr()) && PyUnicode_GetLength(v.ptr()) <= 64) {
        try {
            return vk::call(vk::imported<"builtins", "float">(), v);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return py::object();
}

// Text that is valid UTF-8 without NUL characters, at most `max_bytes` long.
bool clean_text(py::handle v, std::size_t max_bytes) {
    if (!PyUnicode_Check(v.ptr())) return false;
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(v.ptr(), &size);
    if (utf8 == nullptr) {
        PyErr_Clear();  // a lone surrogate
        return false;
    }
    return static_cast<std::size_t>(size) <= max_bytes &&
           std::string_view(utf8, static_cast<std::size_t>(size)).find('\0') == std::string_view::npos;
}

// ---------------------------------------------------------------------------------------------
// Reading the file

[[noreturn]] void refuse(const std::string& file, const std::string& message) { config_fail(file, message); }

// Every value of the loaded document, aliases expanded as a reader would see them: bounded in
// count and depth, and a value that contains itself (a recursive alias) refused.
void check_shape(const std::string& file, py::handle v, int depth, long long& count, std::vector<PyObject*>& open) {
    if (++count > kMaxValues)
        refuse(file, "the configuration expands to more than " + std::to_string(kMaxValues) + " values (YAML aliases?)");
    const bool list = PyList_Check(v.ptr()), dict = PyDict_Check(v.ptr());
    if (!list && !dict) return;
    if (depth >= kMaxDepth) refuse(file, "the configuration is nested more than " + std::to_string(kMaxDepth) + " levels deep");
    for (PyObject* o : open)
        if (o == v.ptr()) refuse(file, "the configuration holds a recursive YAML alias (a value that contains itself)");
    open.push_back(v.ptr());
    if (list) {
        for (const py::handle item : py::reinterpret_borrow<py::list>(v)) check_shape(file, item, depth + 1, count, open);
    } else {
        for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(v)) {
            check_shape(file, key, depth + 1, count, open);
            check_shape(file, value, depth + 1, count, open);
        }
    }
    open.pop_back();
}

py::object read_yaml(const std::string& file) {
    py::object st;
    try {
        st = vk::call(vk::imported<"os", "stat">(), py::str(file));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_FileNotFoundError)) refuse(file, "no such configuration file");
        if (!e.matches(PyExc_OSError)) throw;
        refuse(file, "cannot be read: " + str(e.value()));
    }
    if (!vk::truthy(vk::call(vk::imported<"stat", "S_ISREG">(), vk::attr<"st_mode">(st))))
        refuse(file, "not a regular file (a configuration is a YAML file)");
    if (py::cast<long long>(vk::attr<"st_size">(st)) > static_cast<long long>(kMaxFileBytes))
        refuse(file, "larger than 1 MiB: not a configuration file");
    const py::object bytes = vk::call_method<"read_bytes">(vk::call(vk::imported<"pathlib", "Path">(), py::str(file)));
    py::object text;
    try {
        text = vk::call_method<"decode">(bytes, "utf-8");
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_UnicodeDecodeError)) throw;
        const long long at = py::cast<long long>(vk::attr<"start">(e.value()));
        refuse(file, "not UTF-8 text: byte " + std::to_string(at) + " cannot be decoded");
    }
    const py::handle yaml = vk::imported<"yaml">();
    const py::object loader = vk::has_attr<"CSafeLoader">(yaml) ? vk::attr<"CSafeLoader">(yaml) : vk::attr<"SafeLoader">(yaml);
    py::object loaded;
    try {
        loaded = vk::call(vk::imported<"yaml", "load">(), text, kw<"Loader">(loader));
    } catch (py::error_already_set& e) {
        if (e.matches(PyExc_RecursionError)) refuse(file, "the configuration is nested too deeply");
        if (!e.matches(vk::imported<"yaml", "YAMLError">())) throw;
        std::string what = py::str(e.value());
        for (char& c : what)
            if (c == '\n') c = ' ';
        if (what.size() > 300) what = what.substr(0, 300) + "...";
        refuse(file, "not valid YAML: " + what);
    }
    long long count = 0;
    std::vector<PyObject*> open;
    check_shape(file, loaded, 0, count, open);
    return loaded;
}

// ---------------------------------------------------------------------------------------------
// Walking the schema

std::string_view parent_of(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : path.substr(0, dot);
}

std::string_view leaf_of(std::string_view path) {
    const std::size_t dot = path.rfind('.');
    return dot == std::string_view::npos ? path : path.substr(dot + 1);
}

std::string tasks_text(unsigned tasks) {
    if (tasks == ALL) return "all";
    if (tasks == SPEECH) return "asr, progressive";
    std::string out;
    for (const auto& [bit, name] : {std::pair<unsigned, const char*>{LM, "lm"}, {ASR, "asr"}, {PROG, "progressive"}})
        if (tasks & bit) out += (out.empty() ? "" : ", ") + std::string(name);
    return out;
}

class Checker {
public:
    Checker(std::string file, unsigned task) : file_(std::move(file)), task_(task) {}

    [[noreturn]] void fail(const std::string& message) const { config_fail(file_, message); }

    // The keys of the section at schema path `path` (shown to users as `where`).
    void walk(py::dict d, std::string_view path, const std::string& where) const {
        std::vector<const KeySpec*> keys;
        for (const KeySpec& k : kSchema)
            if ((k.tasks & task_) && parent_of(k.path) == path) keys.push_back(&k);
        const auto dotted = [&](std::string_view name) { return where.empty() ? std::string(name) : where + "." + std::string(name); };
        std::vector<std::string> unknown;
        for (const auto& item : d) {
            const std::string name = py::str(item.first);
            bool known = false;
            for (const KeySpec* k : keys) known = known || leaf_of(k->path) == name;
            if (!known) unknown.push_back(name);
        }
        for (const KeySpec* k : keys) {
            const std::string name(leaf_of(k->path));
            if (d.contains(name.c_str())) continue;
            if (k->need == Need::Required) {
                std::string message = std::string(k->kind == K::Section ? "missing section \"" : "missing key \"") + dotted(name) + "\"";
                const std::string near = closest(name, unknown);
                if (!near.empty()) message += "; did you mean \"" + dotted(near) + "\"?";
                fail(message);
            }
            if (k->need == Need::Default) d[name.c_str()] = vk::call(vk::imported<"yaml", "safe_load">(), k->def);
        }
        if (!unknown.empty()) {
            const std::string& name = unknown.front();
            for (const KeySpec& other : kSchema)
                if (parent_of(other.path) == path && leaf_of(other.path) == name)
                    fail("key \"" + dotted(name) + "\" is only read when task is " + tasks_text(other.tasks));
            std::vector<std::string> known;
            for (const KeySpec* k : keys) known.emplace_back(leaf_of(k->path));
            std::string message = "unknown key \"" + dotted(name) + "\"";
            const std::string near = closest(name, known);
            if (!near.empty()) message += "; did you mean \"" + dotted(near) + "\"?";
            std::string list;
            for (const std::string& k : known) list += (list.empty() ? "" : ", ") + k;
            fail(message + " (known keys: " + list + ")");
        }
        for (const KeySpec* k : keys) {
            const std::string name(leaf_of(k->path));
            if (!d.contains(name.c_str())) continue;
            d[name.c_str()] = value(*k, d[name.c_str()], dotted(name));
        }
    }

    // The value of key `full` checked against its entry (numbers written as text become numbers,
    // pairs become tuples); sections and lists of sections are walked.
    py::object value(const KeySpec& k, py::handle v, const std::string& full) const {
        switch (k.kind) {
            case K::Section:
            case K::Sections:
            case K::Indices:
            case K::Flags:
            case K::Texts:
            case K::Pair:
                return container(k, v, full);
            default:
                return scalar(k, v, full);
        }
    }

private:
    py::object scalar(const KeySpec& k, py::handle v, const std::string& full) const {
        PyObject* p = v.ptr();
        const auto bad = [&]() { fail("key \"" + full + "\" must be " + describe(k) + ", got " + shown(v)); };
        switch (k.kind) {
            case K::Text:
                if (!clean_text(v, 4096)) bad();
                break;
            case K::Name: {
                if (!clean_text(v, 255)) bad();
                const std::string s = py::str(v);
                if (s.empty() || s == "." || s == ".." || s.find_first_of("/\\") != std::string::npos) bad();
                break;
            }
            case K::Choice: {
                if (!clean_text(v, 64)) bad();
                const std::string s = "|" + lowercase(py::str(v)) + "|";
                if (("|" + std::string(k.choices) + "|").find(s) == std::string::npos) bad();
                break;
            }
            case K::Flag:
                if (!PyBool_Check(p)) bad();
                break;
            case K::Int: {
                const auto n = small_int(v);
                if (!n || !in_range(static_cast<double>(*n), k.range)) bad();
                break;
            }
            case K::Real: {
                const py::object n = as_number(v);
                if (!n || !in_range(py::cast<double>(n), k.range)) bad();
                return n;
            }
            case K::Subset: {
                const py::object n = as_number(v);
                if (!n) bad();
                const double x = py::cast<double>(n);
                const bool count = std::isfinite(x) && x >= 1 && x == std::floor(x) && x <= kNoLimit;
                if (!(in_range(x, kFraction) || count)) bad();
                return n;
            }
            case K::Device:
                if (!clean_text(v, 64)) bad();
                check_device(full, py::str(v));
                break;
            case K::RunId:
                if (!clean_text(v, 255) && !small_int(v)) bad();
                break;
            case K::FromData:
                fail("key \"" + full + "\" must not be set: it comes from the tokenizer and the data");
            default:
                break;
        }
        return py::reinterpret_borrow<py::object>(v);
    }

    py::object container(const KeySpec& k, py::handle v, const std::string& full) const {
        PyObject* p = v.ptr();
        const auto bad = [&]() { fail("key \"" + full + "\" must be " + describe(k) + ", got " + shown(v)); };
        switch (k.kind) {
            case K::Section: {
                if (!PyDict_Check(p)) bad();
                walk(py::reinterpret_borrow<py::dict>(v), k.path, full);
                break;
            }
            case K::Sections: {
                if (!PyList_Check(p) || static_cast<double>(PyList_GET_SIZE(p)) < k.range.lo) bad();
                const py::list items = py::reinterpret_borrow<py::list>(v);
                for (std::size_t i = 0; i < items.size(); ++i) {
                    const std::string at = full + "[" + std::to_string(i) + "]";
                    if (!PyDict_Check(items[i].ptr()))
                        fail("key \"" + at + "\" must be a mapping of keys to values, got " + shown(items[i]));
                    walk(py::reinterpret_borrow<py::dict>(items[i]), std::string(k.path) + "[]", at);
                }
                break;
            }
            case K::Indices:
            case K::Flags:
            case K::Texts: {
                if (!PyList_Check(p)) bad();
                for (const py::handle item : py::reinterpret_borrow<py::list>(v)) {
                    const bool ok = k.kind == K::Indices ? small_int(item) && *small_int(item) >= 0 && *small_int(item) < 4096
                                    : k.kind == K::Flags ? PyBool_Check(item.ptr())
                                                         : clean_text(item, 4096);
                    if (!ok) fail("key \"" + full + "\" must be " + describe(k) + ", got " + shown(item) + " in the list");
                }
                break;
            }
            case K::Pair: {
                if (!PyList_Check(p) && !PyTuple_Check(p)) bad();
                const py::list items = vk::call(vk::imported<"builtins", "list">(), v);
                if (items.size() != 2) bad();
                py::list numbers;
                for (const py::handle item : items) {
                    const py::object n = as_number(item);
                    if (!n || !in_range(py::cast<double>(n), k.range)) bad();
                    numbers.append(n);
                }
                return vk::call(vk::imported<"builtins", "tuple">(), numbers);
            }
            default:
                break;
        }
        return py::reinterpret_borrow<py::object>(v);
    }

    static std::string closest(const std::string& name, const std::vector<std::string>& candidates) {
        if (candidates.empty()) return {};
        const py::list found = vk::call(vk::imported<"difflib", "get_close_matches">(), name, py::cast(candidates), 1, 0.6);
        return found.empty() ? std::string() : std::string(py::str(found[0]));
    }

    void check_device(const std::string& full, const std::string& name) const {
        py::object device;
        try {
            device = vk::call(vk::imported<"torch", "device">(), name);
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_RuntimeError) && !e.matches(PyExc_ValueError)) throw;
            fail("key \"" + full + "\" must be a device such as cpu, cuda or cuda:0, got " + shown(py::str(name)));
        }
        const std::string type = py::str(vk::attr<"type">(device));
        if (type == "cpu") return;
        if (type != "cuda") fail("key \"" + full + "\": velkor trains on cpu or cuda devices, got " + shown(py::str(name)));
        const long long count = py::cast<long long>(vk::call(vk::imported<"torch.cuda", "device_count">()));
        const py::object index = vk::attr<"index">(device);
        const long long wanted = index.is_none() ? 0 : py::cast<long long>(index);
        if (wanted >= count)
            fail("key \"" + full + "\": this machine has " +
                 (count == 0 ? std::string("no CUDA device") : std::to_string(count) + " CUDA device(s)") + ", got " +
                 shown(py::str(name)));
    }

    std::string file_;
    unsigned task_;
};

// Checks between keys, once every key has its own value.
void check_across(const Checker& ck, const Config& cfg) {
    const py::dict c = cfg.data;
    const py::dict model = c["model"];
    const auto model_int = [&](const char* key) {
        if (model.contains(key)) return py::cast<long long>(model[key]);
        for (const KeySpec& k : kSchema)
            if (std::string_view(k.path) == std::string("model.") + key) return std::stoll(k.def);
        return 0LL;
    };
    if (model_int("d_model") * model_int("max_len") > (1LL << 28))
        ck.fail("keys \"model.d_model\" × \"model.max_len\" must be at most 268435456 (the positional table), got " +
                std::to_string(model_int("d_model")) + " × " + std::to_string(model_int("max_len")));

    // The schedule's own section; T_max follows the epochs unless it is set.
    py::dict sched = c["scheduler"];
    const std::string sched_name = lowercase(py::str(sched["name"]));
    if (!sched.contains(sched_name.c_str())) sched[sched_name.c_str()] = py::dict();
    if (sched_name == "cosine") {
        py::dict cosine = sched["cosine"];
        if (!cosine.contains("T_max")) {
            long long warmup = 0;
            if (sched.contains("warmup")) {
                const py::dict w = sched["warmup"];
                if (w.contains("enabled") && vk::truthy(w["enabled"])) warmup = w.contains("epochs") ? py::cast<long long>(w["epochs"]) : 5;
            }
            long long epochs = py::cast<long long>(py::dict(c["training"])["epochs"]);
            if (cfg.task == "progressive")  // the stages run first, then training.epochs more
                for (const py::handle st : py::list(c["stages"]))
                    epochs += py::cast<long long>(py::reinterpret_borrow<py::dict>(st)["epochs"]);
            cosine["T_max"] = std::max(1LL, epochs - warmup);
        }
    }

    if (cfg.task != "progressive") return;
    const py::list stages = c["stages"];
    for (std::size_t i = 0; i < stages.size(); ++i) {
        const py::dict st = stages[i];
        for (const auto& [list, layers] : {std::pair<const char*, const char*>{"encoder_active_layers", "num_encoder_layers"},
                                           {"decoder_active_layers", "num_decoder_layers"}}) {
            const long long count = model_int(layers);
            for (const py::handle v : py::list(st[list]))
                if (py::cast<long long>(v) >= count)
                    ck.fail("key \"stages[" + std::to_string(i) + "]." + list + "\" lists layer " + str(v) + ", but the model has " +
                            std::to_string(count) + " (model." + layers + ")");
        }
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string shown(py::handle v) {
    PyObject* p = v.ptr();
    if (v.is_none()) return "nothing (null)";
    std::string text;
    if (PyList_Check(p)) {
        text = "a list of " + std::to_string(PyList_GET_SIZE(p)) + " item(s)";
    } else if (PyDict_Check(p)) {
        text = "a mapping of " + std::to_string(PyDict_GET_SIZE(p)) + " key(s)";
    } else if (PyUnicode_Check(p) && PyUnicode_GetLength(p) > 60) {
        const py::object head =
            vk::call(vk::imported<"builtins", "repr">(), py::reinterpret_steal<py::object>(PyUnicode_Substring(p, 0, 60)));
        text = std::string(py::str(head)) + "... (" + std::to_string(PyUnicode_GetLength(p)) + " characters)";
    } else if (is_int(p) && !small_int(v)) {
        text = "an integer beyond 64 bits";
    } else {
        text = py::str(vk::call(vk::imported<"builtins", "ascii">(), v));
        if (text.size() > 80) text = text.substr(0, 80) + "...";
    }
    return text + " (" + vk::type_name(v) + ")";
}

Config load_config(const std::string& file) {
    const py::object loaded = read_yaml(file);
    if (!PyDict_Check(loaded.ptr())) config_fail(file, "the file must hold a mapping of sections, got " + shown(loaded));
    py::dict c = py::reinterpret_borrow<py::dict>(loaded);
    // The task decides which keys exist, so it is read first.
    if (!c.contains("task")) config_fail(file, "missing key \"task\"");
    const py::object task = c["task"];
    if (!PyUnicode_Check(task.ptr()) ||
        (std::string(py::str(task)) != "lm" && std::string(py::str(task)) != "asr" && std::string(py::str(task)) != "progressive"))
        config_fail(file, "key \"task\" must be \"lm\", \"asr\" or \"progressive\", got " + shown(task));
    Config cfg;
    cfg.file = file;
    cfg.data = c;
    cfg.task = py::str(task);
    const unsigned mask = cfg.task == "lm" ? LM : cfg.task == "asr" ? ASR : PROG;
    const Checker ck(file, mask);
    ck.walk(c, "", "");
    if (!c.contains("name")) c["name"] = vk::attr<"stem">(vk::call(vk::imported<"pathlib", "Path">(), file));
    for (const KeySpec& k : kSchema)
        if (std::string_view(k.path) == "name") c["name"] = ck.value(k, c["name"], "name");
    cfg.name = py::str(c["name"]);
    check_across(ck, cfg);
    return cfg;
}

std::string config_reference() {
    std::string out = "| Key | Tasks | Kind | Default | Meaning |\n|---|---|---|---|---|\n";
    for (const KeySpec& k : kSchema) {
        const std::string def = k.need == Need::Required ? "required" : k.def != nullptr ? std::string("`") + k.def + "`" : "";
        out += "| `" + std::string(k.path) + "` | " + tasks_text(k.tasks) + " | " + describe(k) + " | " + def + " | " + k.help + " |\n";
    }
    return out;
}

}  // namespace velkor_cli
