// The speech dataset: one partition of a corpus (per utterance a filter-bank array in "fbank/"
// and, except for "test-clean", a transcript array in "text/") read into memory at
// construction, with global feature statistics gathered in the same pass, per-item
// normalization, and batching into the padded 5-tuple with SpecAugment on training batches.
//
// SpecAugment uses torchaudio's FrequencyMasking/TimeMasking when torchaudio imports, and the
// equivalent maskers defined here otherwise (per-utterance masks, width uniform in
// [0, mask_param), mask value 0, drawn over the padded length). With the built-in maskers a
// batch is masked in place, span by span, instead of by whole-tensor passes.
#include <vk/common.hpp>
#include <vkdomain/corpus.hpp>
#include <vkdomain/npy.hpp>

#include <pybind11/stl.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

namespace py = pybind11;
using vk::kw;

constexpr const char* kTestClean = "test-clean";

// ---------------------------------------------------------------------------------------------
// Masking

struct Span {
    Py_ssize_t start;
    Py_ssize_t end;
};

// One mask per item over an axis of `size` entries, drawn from torch's generator (so
// torch.manual_seed reproduces it): width floor(U * param), start floor(U' * (size - width')),
// in 32-bit float arithmetic like torch's.
std::vector<Span> draw_spans(Py_ssize_t items, Py_ssize_t size, long long mask_param, double p) {
    if (!(p >= 0.0 && p <= 1.0)) throw py::value_error("p must be between 0.0 and 1.0, got " + vk::float_text(p));
    if (p < 1.0) mask_param = std::min(mask_param, static_cast<long long>(static_cast<double>(size) * p));
    // Positions beyond these bounds mask the same frames (none or all), and they keep the
    // float-to-integer conversions below defined for any mask_param.
    const auto position = [](float v) { return static_cast<Py_ssize_t>(std::clamp(v, -4e18f, 4e18f)); };
    const py::array_t<float> draws = vk::call_method<"numpy">(vk::call(vk::attr<"rand">(vk::torch()), 2, items));
    const float* r = draws.data();
    std::vector<Span> spans(static_cast<std::size_t>(items));
    for (Py_ssize_t k = 0; k < items; ++k) {
        const float value = r[k] * static_cast<float>(mask_param);
        const float min_value = r[items + k] * (static_cast<float>(size) - value);
        const Py_ssize_t start = position(min_value);
        spans[static_cast<std::size_t>(k)] = {start, start + position(value)};
    }
    return spans;
}

py::object masking_init(py::handle self, long long mask_param, long long axis, bool iid_masks, double p) {
    if (mask_param < 0) throw py::value_error("mask_param must be non-negative, got " + std::to_string(mask_param));
    if (!(p >= 0.0 && p <= 1.0)) throw py::value_error("p must be between 0.0 and 1.0, got " + vk::float_text(p));
    vk::init_module(self);
    vk::set_attr<"mask_param">(self, py::int_(mask_param));
    vk::set_attr<"axis">(self, py::int_(axis));
    vk::set_attr<"iid_masks">(self, py::bool_(iid_masks));
    vk::set_attr<"p">(self, py::float_(p));
    return py::none();
}

py::object frequency_masking_init(py::handle self, const vk::Args<"freq_mask_param, iid_masks=False">& a) {
    return masking_init(self, a.integer<"freq_mask_param">(), 1, a.flag<"iid_masks">(), 1.0);
}

py::object time_masking_init(py::handle self, const vk::Args<"time_mask_param, iid_masks=False, p=1.0">& a) {
    return masking_init(self, a.integer<"time_mask_param">(), 2, a.flag<"iid_masks">(), a.real<"p">());
}

// The public attributes a masker's forward reads, checked: users may reassign them.
struct MaskerSettings {
    long long mask_param;
    long long axis;
    double p;
};

MaskerSettings masker_settings(py::handle masker) {
    const long long mask_param = vk::exact_int(vk::attr<"mask_param">(masker), "mask_param");
    const long long axis = vk::exact_int(vk::attr<"axis">(masker), "axis");
    if (axis != 1 && axis != 2) throw py::value_error("axis must be 1 (frequency) or 2 (time), got " + std::to_string(axis));
    return {mask_param, axis, vk::to_real(vk::attr<"p">(masker), "p")};
}

// specgram (..., freq, time) with one span along the masker's axis set to mask_value: one span
// per leading index with iid_masks, else one span shared by the whole tensor.
py::object masking_forward(py::handle self, const vk::Args<"specgram, mask_value=0.0">& a) {
    const py::handle specgram = a.get<"specgram">();
    const double mask_value = a.real<"mask_value">();
    const bool iid = vk::truthy(vk::attr<"iid_masks">(self));
    const MaskerSettings settings = masker_settings(self);
    const vk::Shape shape = vk::shape_of(specgram);
    const auto dim = static_cast<Py_ssize_t>(shape.size());
    if (iid && dim < 3) throw py::value_error("Spectrogram must have at least three dimensions (" + std::to_string(dim) + " given).");
    if (dim < 2) throw py::value_error("Spectrogram must have at least two dimensions (" + std::to_string(dim) + " given).");
    // The axis counts from the end (1: frequency, 2: time), so it always lies within the tensor.
    const Py_ssize_t axis = static_cast<Py_ssize_t>(settings.axis) + dim - 3;
    const Py_ssize_t size = shape[static_cast<std::size_t>(axis)];
    const std::vector<Py_ssize_t> lead = iid ? std::vector<Py_ssize_t>(shape.begin(), shape.end() - 2) : std::vector<Py_ssize_t>{};
    Py_ssize_t items = 1;
    for (const Py_ssize_t d : lead) items *= d;
    const std::vector<Span> spans = draw_spans(items, size, settings.mask_param, settings.p);

    py::array_t<bool> mask({items, size});
    bool* m = mask.mutable_data();
    std::fill(m, m + items * size, false);
    for (Py_ssize_t k = 0; k < items; ++k)
        for (Py_ssize_t j = std::max<Py_ssize_t>(spans[k].start, 0); j < std::min(spans[k].end, size); ++j) m[k * size + j] = true;

    // Broadcast shape: the leading dimensions, then the axis, with 1 everywhere else.
    std::vector<Py_ssize_t> view = lead;
    while (static_cast<Py_ssize_t>(view.size()) < axis) view.push_back(1);
    view.push_back(size);
    while (static_cast<Py_ssize_t>(view.size()) < dim) view.push_back(1);
    const py::object mask_tensor =
        vk::call_method<"to">(vk::call_method<"reshape">(vk::call(vk::attr<"from_numpy">(vk::torch()), mask), py::tuple(py::cast(view))),
                              vk::attr<"device">(specgram));
    return vk::call_method<"masked_fill">(specgram, mask_tensor, mask_value);
}

py::handle this_module() {
    static PyObject* const module = vk::keep(py::module_::import("velkor.data.brenvik"));  // kept for the process
    return module;
}

// An installed torchaudio that fails to load (typically a wheel built for another torch) is worth
// one warning; a torchaudio that is simply absent is not.
void warn_broken_torchaudio(py::error_already_set& e) {
    if (e.matches(PyExc_ModuleNotFoundError)) {
        const py::object missing = vk::attr<"name">(e.value());
        if (!missing.is_none() && vk::utf8(missing) == "torchaudio") return;
    }
    const std::string reason = vk::type_name(e.value()) + ": " + vk::utf8(py::str(e.value()));
    vk::call(vk::imported<"warnings", "warn">(),
             py::str("torchaudio is installed but could not be loaded (" + reason + "); SpecAugment uses velkor's built-in maskers"),
             vk::imported<"builtins", "RuntimeWarning">());
}

// torchaudio's maskers when it imports, else ours.
std::pair<py::handle, py::handle> masker_classes() {
    static const std::pair<PyObject*, PyObject*> classes = [] {
        try {
            const py::module_ transforms = py::module_::import("torchaudio.transforms");
            return std::pair{vk::keep(transforms.attr("FrequencyMasking")), vk::keep(transforms.attr("TimeMasking"))};
        } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;  // a missing or broken torchaudio: use ours
            warn_broken_torchaudio(e);
            return std::pair{vk::keep(py::getattr(this_module(), "FrequencyMasking")), vk::keep(py::getattr(this_module(), "TimeMasking"))};
        }
    }();
    return {classes.first, classes.second};
}

// A built-in masker left on its own axis, whose work the in-place path below can do instead.
bool is_builtin_masker(py::handle obj, const char* class_name, long long axis) {
    return py::type::handle_of(obj).is(py::getattr(this_module(), class_name)) && vk::truthy(vk::attr<"iid_masks">(obj)) &&
           masker_settings(obj).axis == axis;
}

// SpecAugment on a padded (B, T, F) batch: frequency masks, then time masks, each application
// drawing a fresh span per utterance.
py::object spec_augment(py::handle self, py::object padded, const std::vector<Py_ssize_t>& lengths, const py::dict& conf) {
    const bool freq = vk::truthy(conf["apply_freq_mask"]);
    const long long num_freq = freq ? vk::config_int(conf["num_freq_mask"], "num_freq_mask") : 0;
    const bool time = vk::truthy(conf["apply_time_mask"]);
    const long long num_time = time ? vk::config_int(conf["num_time_mask"], "num_time_mask") : 0;
    const py::object freq_mask = vk::attr<"freq_mask">(self);
    const py::object time_mask = vk::attr<"time_mask">(self);

    const bool in_place = is_builtin_masker(freq_mask, "FrequencyMasking", 1) && is_builtin_masker(time_mask, "TimeMasking", 2) &&
                          vk::attr<"dtype">(padded).is(vk::attr<"float32">(vk::torch())) &&
                          vk::display(vk::attr<"type">(vk::attr<"device">(padded))) == "cpu" &&
                          vk::truthy(vk::call_method<"is_contiguous">(padded)) && !vk::truthy(vk::attr<"requires_grad">(padded));
    if (!in_place) {
        py::object x = vk::call_method<"permute">(padded, 0, 2, 1);
        for (long long k = 0; k < num_freq; ++k) x = vk::call(freq_mask, x);
        for (long long k = 0; k < num_time; ++k) x = vk::call(time_mask, x);
        return vk::call_method<"permute">(x, 0, 2, 1);
    }

    // Same draws as the maskers' forward, written straight into the batch's memory in one pass
    // over each utterance's frames. Padding is already 0, the mask value, so it is skipped.
    py::array_t<float> view = vk::call_method<"numpy">(padded);
    const Py_ssize_t batch = view.shape(0), frames = view.shape(1), feats = view.shape(2);
    float* data = view.mutable_data();
    const MaskerSettings freq_settings = masker_settings(freq_mask);
    const MaskerSettings time_settings = masker_settings(time_mask);
    std::vector<std::vector<Span>> freq_spans, time_spans;
    for (long long k = 0; k < num_freq; ++k) freq_spans.push_back(draw_spans(batch, feats, freq_settings.mask_param, freq_settings.p));
    for (long long k = 0; k < num_time; ++k) time_spans.push_back(draw_spans(batch, frames, time_settings.mask_param, time_settings.p));
    if (static_cast<Py_ssize_t>(lengths.size()) < batch) throw py::value_error("SpecAugment needs one length per utterance");
    std::vector<char> frame_masked(static_cast<std::size_t>(frames));
    for (Py_ssize_t b = 0; b < batch; ++b) {
        const Py_ssize_t length = std::min(frames, lengths[static_cast<std::size_t>(b)]);
        std::fill(frame_masked.begin(), frame_masked.end(), 0);
        for (const auto& spans : time_spans)
            for (Py_ssize_t t = std::max<Py_ssize_t>(spans[b].start, 0); t < std::min(spans[b].end, length); ++t) frame_masked[t] = 1;
        float* rows = data + b * frames * feats;
        for (Py_ssize_t t = 0; t < length; ++t) {
            float* row = rows + t * feats;
            if (frame_masked[t]) {
                std::memset(row, 0, feats * sizeof(float));
                continue;
            }
            for (const auto& spans : freq_spans) {
                const Py_ssize_t s = std::clamp<Py_ssize_t>(spans[b].start, 0, feats), e = std::clamp<Py_ssize_t>(spans[b].end, s, feats);
                if (e > s) std::memset(row + s, 0, (e - s) * sizeof(float));
            }
        }
    }
    return padded;
}

// ---------------------------------------------------------------------------------------------
// Global statistics

// Per-dimension running mean and sum of squared deviations over all frames, updated one
// utterance at a time (the batched form of Welford's update), in 64-bit arithmetic.
class RunningStats {
public:
    explicit RunningStats(Py_ssize_t dims) : mean_(dims, 0.0), m2_(dims, 0.0) {}

    void add(const py::array& features, py::handle path) {
        // Values are taken as 32-bit floats, as the items are; float32 files are read in place.
        const auto x = py::array_t<float, py::array::c_style | py::array::forcecast>::ensure(features);
        if (!x) {
            if (PyErr_Occurred()) throw py::error_already_set();
            throw py::value_error("Feature file " + vk::display_repr(path) + " does not hold numbers");
        }
        const auto dims = static_cast<Py_ssize_t>(mean_.size());
        if (x.shape(0) != dims)
            throw py::value_error("Feature file " + vk::display_repr(path) + " has " + std::to_string(x.shape(0)) +
                                  " feature rows, but global statistics need num_feats = " + std::to_string(dims));
        const Py_ssize_t n = x.shape(1);
        if (n == 0) return;  // nothing to add; dividing by a zero count would poison the mean
        count_ += n;
        const double count = static_cast<double>(count_);
        const float* data = x.data();
        for (Py_ssize_t f = 0; f < dims; ++f) {
            const float* row = data + f * n;
            const double old_mean = mean_[f];
            double s[4] = {0, 0, 0, 0};
            Py_ssize_t j = 0;
            for (; j + 4 <= n; j += 4)
                for (int l = 0; l < 4; ++l) s[l] += static_cast<double>(row[j + l]) - old_mean;
            for (; j < n; ++j) s[0] += static_cast<double>(row[j]) - old_mean;
            const double new_mean = old_mean + ((s[0] + s[1]) + (s[2] + s[3])) / count;
            double q[4] = {0, 0, 0, 0};
            for (j = 0; j + 4 <= n; j += 4)
                for (int l = 0; l < 4; ++l) {
                    const double v = row[j + l];
                    q[l] += (v - old_mean) * (v - new_mean);
                }
            for (; j < n; ++j) {
                const double v = row[j];
                q[0] += (v - old_mean) * (v - new_mean);
            }
            mean_[f] = new_mean;
            m2_[f] += (q[0] + q[1]) + (q[2] + q[3]);
        }
    }

    // (mean, sqrt(sample variance + 1e-8)), as 32-bit tensors.
    std::pair<py::object, py::object> finish() const {
        std::vector<double> std_dev(mean_.size());
        const double denominator = static_cast<double>(count_) - 1.0;
        for (std::size_t f = 0; f < mean_.size(); ++f) std_dev[f] = std::sqrt(m2_[f] / denominator + 1e-8);
        const py::handle tensor = vk::attr<"tensor">(vk::torch());
        const py::object float32 = vk::attr<"float32">(vk::torch());
        return {vk::call(tensor, py::cast(mean_), kw<"dtype">(float32)), vk::call(tensor, py::cast(std_dev), kw<"dtype">(float32))};
    }

private:
    long long count_ = 0;
    std::vector<double> mean_, m2_;
};

// ---------------------------------------------------------------------------------------------
// The dataset

py::object long_tensor(py::handle ids) {
    return vk::call(vk::attr<"tensor">(vk::torch()), ids, kw<"dtype">(vk::attr<"int64">(vk::torch())));
}

py::object subtract(py::handle a, py::handle b) { return vk::detail::steal_or_throw(PyNumber_Subtract(a.ptr(), b.ptr())); }
py::object divide(py::handle a, py::handle b) { return vk::detail::steal_or_throw(PyNumber_TrueDivide(a.ptr(), b.ptr())); }

bool equals(py::handle a, const char* text) {
    const int r = PyObject_RichCompareBool(a.ptr(), py::str(text).ptr(), Py_EQ);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

Py_ssize_t positive_num_feats(const py::dict& config) {
    const py::object value = config["num_feats"];
    const Py_ssize_t n = PyNumber_AsSsize_t(value.ptr(), PyExc_OverflowError);
    if (n == -1 && PyErr_Occurred()) {
        py::error_already_set e;
        vk::add_note(e, "Configuration key 'num_feats' must be a positive integer");
        throw e;
    }
    if (n <= 0) throw py::value_error("Configuration key 'num_feats' must be a positive integer, got " + std::to_string(n));
    return n;
}

// The files of a partition, cut to the configured subset: features, and transcripts unless it is
// unlabelled. Sets the dataset's fbank_dir, fbank_files, length (and text_dir, text_files).
struct PartitionFiles {
    py::list fbank, text;  // text stays empty for an unlabelled partition
    bool labelled;
};

PartitionFiles partition_files(py::handle self, const py::dict& config, py::handle partition_name, bool labelled) {
    namespace corpus = vkdomain::corpus;
    PartitionFiles files{py::list(), py::list(), labelled};
    const py::object dir = corpus::path_join(py::object(config["root"]), partition_name);
    const py::object fbank_dir = corpus::path_join(dir, py::str("fbank"));
    const double subset = corpus::subset_size(config);
    files.fbank = corpus::cut(corpus::npy_files(fbank_dir), subset);
    vk::set_attr<"fbank_dir">(self, fbank_dir);
    vk::set_attr<"fbank_files">(self, files.fbank);
    vk::set_attr<"length">(self, py::int_(files.fbank.size()));
    if (!labelled) return files;
    const py::object text_dir = corpus::path_join(dir, py::str("text"));
    files.text = corpus::cut(corpus::npy_files(text_dir), subset);
    vk::set_attr<"text_dir">(self, text_dir);
    vk::set_attr<"text_files">(self, files.text);
    if (files.text.size() != files.fbank.size()) throw py::value_error("Number of feature and transcript files must match");
    return files;
}

// Where the global statistics come from: gathered over this (training) partition while it is
// read, or given; neither without global_mvn. Known before anything is read, so a partition that
// cannot have them fails first.
struct StatsSource {
    std::optional<RunningStats> gathered;
    std::optional<std::array<py::object, 2>> given;
};

StatsSource stats_source(const py::dict& config, py::handle global_stats, bool is_train) {
    StatsSource source;
    if (!equals(config["norm"], "global_mvn")) return source;
    if (!global_stats.is_none()) {
        source.given = vk::unpack<2>(global_stats);
    } else {
        if (!is_train) throw py::value_error("global_stats must be provided for non-training partitions when using global_mvn");
        source.gathered.emplace(positive_num_feats(config));
    }
    return source;
}

void set_global_stats(py::handle self, const StatsSource& source) {
    if (source.given) {
        vk::set_attr<"global_mean">(self, (*source.given)[0]);
        vk::set_attr<"global_std">(self, (*source.given)[1]);
    } else if (source.gathered) {
        const auto [mean, std_dev] = source.gathered->finish();
        vk::set_attr<"global_mean">(self, mean);
        vk::set_attr<"global_std">(self, std_dev);
    }
}

// A feature file as a 2-D numeric array (features, frames).
py::array read_features(py::handle path, Py_ssize_t num_feats) {
    const py::array x = vkdomain::corpus::naming(path, [&] { return vkdomain::npy::read_rows(path, num_feats); });
    if (x.ndim() != 2)
        throw py::value_error("Feature file " + vk::display_repr(path) + " must hold a 2-D array (features, frames), got " +
                              std::to_string(x.ndim()) + " dimensions");
    if (const char kind = vk::dtype_kind(x); kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b')
        throw py::value_error("Feature file " + vk::display_repr(path) + " must hold numbers, got dtype " + vk::dtype_text(x));
    return x;
}

// Every utterance read into memory in one pass: its features appended to `feats` (and added to
// the gathered statistics), its transcript to `transcripts` when labelled. Returns the most frames.
long long read_utterances(const PartitionFiles& files, Py_ssize_t num_feats, py::list& feats, StatsSource& stats,
                          vkdomain::corpus::Transcripts& transcripts) {
    long long feat_max_len = 0;
    const py::object bar = vk::progress(vk::call(vk::imported<"builtins", "range">(), files.fbank.size()));
    for (const py::handle index : bar) {
        const Py_ssize_t i = py::cast<Py_ssize_t>(index);
        const py::handle path = files.fbank[i].ptr();
        const py::array x = read_features(path, num_feats);
        feats.append(x);
        feat_max_len = std::max<long long>(feat_max_len, x.shape(1));
        if (stats.gathered) stats.gathered->add(x, path);
        if (files.labelled) transcripts.add_file(files.text[i]);
    }
    return feat_max_len;
}

// The SpecAugment maskers of the configuration's mask widths.
void set_maskers(py::handle self, const py::dict& config) {
    const py::dict conf = config["specaug_conf"];
    const auto [freq_cls, time_cls] = masker_classes();
    vk::set_attr<"time_mask">(self,
                              vk::call(time_cls, kw<"time_mask_param">(py::object(conf["time_mask_width_range"])), kw<"iid_masks">(true)));
    vk::set_attr<"freq_mask">(self,
                              vk::call(freq_cls, kw<"freq_mask_param">(py::object(conf["freq_mask_width_range"])), kw<"iid_masks">(true)));
}

using InitArgs = vk::Args<"partition, config, tokenizer, isTrainPartition, global_stats=None">;

// The partition's files → statistics source → every utterance read → totals, statistics, maskers.
py::object asr_init(py::handle self, const InitArgs& a) {
    const std::string partition = a.text<"partition">();
    const py::handle partition_name = a.get<"partition">();
    const py::dict config = a.dict<"config">();
    const py::handle tokenizer = a.get<"tokenizer">();
    const bool is_train = a.flag<"isTrainPartition">();
    const py::handle global_stats = a.get<"global_stats">();
    if (!global_stats.is_none() && !PyTuple_CheckExact(global_stats.ptr())) vk::raise_arg_type("global_stats", "tuple", global_stats);
    const bool labelled = partition != kTestClean;

    vk::set_attr<"config">(self, config);
    vk::set_attr<"partition">(self, partition_name);
    vk::set_attr<"isTrainPartition">(self, py::bool_(is_train));
    vk::set_attr<"tokenizer">(self, tokenizer);
    const py::object eos = vk::attr<"eos_id">(tokenizer), sos = vk::attr<"sos_id">(tokenizer);
    vk::set_attr<"eos_token">(self, eos);
    vk::set_attr<"sos_token">(self, sos);
    vk::set_attr<"pad_token">(self, vk::attr<"pad_id">(tokenizer));

    const PartitionFiles files = partition_files(self, config, partition_name, labelled);
    py::list feats, shifted, golden;
    vk::set_attr<"feats">(self, feats);
    vk::set_attr<"transcripts_shifted">(self, shifted);
    vk::set_attr<"transcripts_golden">(self, golden);
    for (const py::handle zero_attr :
         {vk::name<"total_chars">(), vk::name<"total_tokens">(), vk::name<"feat_max_len">(), vk::name<"text_max_len">()})
        py::setattr(self, zero_attr, py::int_(0));
    StatsSource stats = stats_source(config, global_stats, is_train);

    vk::println("Loading data for ", partition, " partition...");
    const Py_ssize_t num_feats = files.fbank.empty() ? 0 : positive_num_feats(config);
    vkdomain::corpus::Transcripts transcripts(tokenizer, sos, eos, shifted, golden);
    const long long feat_max_len = read_utterances(files, num_feats, feats, stats, transcripts);

    vk::set_attr<"total_chars">(self, py::int_(transcripts.total_chars));
    vk::set_attr<"total_tokens">(self, py::int_(transcripts.total_tokens));
    vk::set_attr<"feat_max_len">(self, py::int_(feat_max_len));
    vk::set_attr<"text_max_len">(self, py::int_(transcripts.text_max_len));
    vk::set_attr<"avg_chars_per_token">(self, vkdomain::corpus::chars_per_token(transcripts.total_chars, transcripts.total_tokens));
    if (labelled && !(feats.size() == shifted.size() && shifted.size() == golden.size()))
        throw py::value_error("Features and transcripts are misaligned");
    set_global_stats(self, stats);
    set_maskers(self, config);
    return py::none();
}

py::object asr_len(py::handle self, const vk::Args<"">&) { return vk::attr<"length">(self); }

py::object asr_getitem(py::handle self, const vk::Args<"idx">& a) {
    const py::handle idx = a.get<"idx">();
    const py::object features = py::reinterpret_borrow<py::list>(vk::attr<"feats">(self))[idx];
    const py::object norm = py::reinterpret_borrow<py::dict>(vk::attr<"config">(self))["norm"];
    const py::object float32 = vk::attr<"float32">(vk::torch());
    py::object x = vk::call(vk::attr<"as_tensor">(vk::torch()), features, kw<"dtype">(float32));
    if (equals(norm, "global_mvn")) {
        const py::object mean = vk::has_attr<"global_mean">(self) ? vk::attr<"global_mean">(self) : py::none();
        const py::object std_dev = vk::has_attr<"global_std">(self) ? vk::attr<"global_std">(self) : py::none();
        if (mean.is_none() || std_dev.is_none()) {
            PyErr_SetString(PyExc_AssertionError, "Global mean and std must be computed before normalization");
            throw py::error_already_set();
        }
        x = divide(subtract(x, vk::call_method<"unsqueeze">(mean, 1)), vk::add(vk::call_method<"unsqueeze">(std_dev, 1), py::float_(1e-8)));
    } else if (equals(norm, "cepstral")) {
        const py::object mean = vk::call_method<"mean">(x, kw<"dim">(1), kw<"keepdim">(true));
        const py::object std_dev = vk::call_method<"std">(x, kw<"dim">(1), kw<"keepdim">(true));
        x = divide(subtract(x, mean), vk::add(std_dev, py::float_(1e-8)));
    } else if (vk::truthy(vk::call(vk::imported<"numpy", "may_share_memory">(), features, vk::call_method<"numpy">(x)))) {
        x = vk::call_method<"clone">(x);  // never hand out the stored features themselves
    }
    if (!equals(vk::attr<"partition">(self), kTestClean)) {
        const py::object shifted = py::reinterpret_borrow<py::list>(vk::attr<"transcripts_shifted">(self))[idx];
        const py::object golden = py::reinterpret_borrow<py::list>(vk::attr<"transcripts_golden">(self))[idx];
        return py::make_tuple(x, long_tensor(shifted), long_tensor(golden));
    }
    return py::make_tuple(x, py::none(), py::none());
}

py::object pad(py::handle sequences, py::handle value) {
    return vk::call(vk::imported<"torch.nn.utils.rnn", "pad_sequence">(), sequences, kw<"batch_first">(true), kw<"padding_value">(value));
}

py::object asr_collate(py::handle self, const vk::Args<"batch">& a) {
    const py::list items(py::reinterpret_borrow<py::object>(a.get<"batch">()));
    py::list feats, shifted, golden;
    std::vector<Py_ssize_t> feat_lengths;
    std::vector<long long> transcript_lengths;
    const bool labelled = !equals(vk::attr<"partition">(self), kTestClean);
    for (const py::handle item : items) {
        const py::object x = vk::call_method<"transpose">(item[py::int_(0)], 0, 1);
        feat_lengths.push_back(py::cast<Py_ssize_t>(vk::call_method<"size">(x, 0)));
        feats.append(x);
        if (labelled) {
            const py::object s = item[py::int_(1)];
            transcript_lengths.push_back(py::cast<long long>(vk::call(vk::imported<"builtins", "len">(), s)));
            shifted.append(s);
            golden.append(item[py::int_(2)]);
        }
    }
    py::object padded_feats = pad(feats, py::float_(0.0));
    py::object padded_shifted = py::none(), padded_golden = py::none(), lengths = py::none();
    if (labelled) {
        const py::object pad_token = vk::attr<"pad_token">(self);
        lengths = long_tensor(py::cast(transcript_lengths));
        padded_shifted = pad(shifted, pad_token);
        padded_golden = pad(golden, pad_token);
    }
    const py::dict config = vk::attr<"config">(self);
    if (vk::truthy(config["specaug"]) && vk::truthy(vk::attr<"isTrainPartition">(self)))
        padded_feats = spec_augment(self, padded_feats, feat_lengths, config["specaug_conf"]);
    return py::make_tuple(padded_feats, padded_shifted, padded_golden, long_tensor(py::cast(feat_lengths)), lengths);
}

py::object asr_avg_chars(py::handle self, const vk::Args<"">&) { return vk::attr<"avg_chars_per_token">(self); }

constexpr vk::Def kInit{"__init__", asr_init};
constexpr vk::Def kLen{"__len__", asr_len, "Number of utterances."};
constexpr vk::Def kGetItem{"__getitem__", asr_getitem,
                           "(features (num_feats, frames) float32 normalized, shifted, golden); shifted and golden are "
                           "int64 tensors, or None for the unlabelled test-clean partition."};
constexpr vk::Def kCollate{
    "collate_fn", asr_collate,
    "Pads a list of items into (padded_feats (B, T_max, F), padded_shifted (B, L_max), padded_golden (B, L_max), "
    "feat_lengths (B,), transcript_lengths (B,)); the transcript entries are None for test-clean. Training batches get "
    "SpecAugment when config['specaug'] is true."};
constexpr vk::Def kAvgChars{"get_avg_chars_per_token", asr_avg_chars, "Average number of characters per token."};

constexpr vk::Def kFrequencyInit{"__init__", frequency_masking_init};
constexpr vk::Def kTimeInit{"__init__", time_masking_init};
constexpr vk::Def kMaskForward{"forward", masking_forward,
                               "Returns a copy of specgram (..., freq, time) with one span along this masker's axis set to "
                               "mask_value: a span per leading index when iid_masks is true, else one for the whole tensor."};

}  // namespace

PYBIND11_MODULE(brenvik, m) {
    m.doc() = "Speech dataset: filter-bank features and transcripts, normalization, batching and SpecAugment.";
    m.attr("BrixTokenizer") = py::module_::import("velkor.data.tokenizer").attr("BrixTokenizer");
    vk::define_module_class<kFrequencyInit, kMaskForward>(
        m, "FrequencyMasking", "Masks one span of frequency rows, of width uniform in [0, freq_mask_param), with 0.");
    vk::define_module_class<kTimeInit, kMaskForward>(m, "TimeMasking",
                                                     "Masks one span of time frames, of width uniform in [0, time_mask_param), with 0.");
    vk::define_class<kInit, kLen, kGetItem, kCollate, kAvgChars>(
        m, "ASRDataset", vk::imported<"torch.utils.data", "Dataset">(),
        "Speech dataset: filter-bank features with transcripts of one partition, loaded into memory.");
}
