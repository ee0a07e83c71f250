// A fixed-width report on a data loader over a speech or text dataset: partition, batch
// counts, the shapes of the first batch, the dataset's maximum lengths and its average number of
// characters per token. The two kinds of dataset are told apart only by their attributes.
#include <vk/common.hpp>

#include <optional>
#include <string>

namespace {

namespace py = pybind11;

const std::string kOuterRule(50, '=');
const std::string kInnerRule(50, '-');

void print_value(const char* label, const std::string& value) { vk::println(vk::format_text(py::str(label), "<25"), ": ", value); }

void print_value(const char* label, py::handle value) { print_value(label, vk::text(value)); }

void print_shape(const char* label, py::handle tensor) {
    if (!tensor.is_none()) print_value(label, vk::call(vk::imported<"builtins", "list">(), vk::attr<"shape">(tensor)));
}

// The shape lines of one batch, in this order, for the parts that are present.
void print_shapes(py::handle feats, py::handle transcripts_shifted = py::none(), py::handle transcripts_golden = py::none(),
                  py::handle feat_lengths = py::none(), py::handle transcript_lengths = py::none()) {
    print_shape("Feature Shape", feats);
    print_shape("Shifted Transcript Shape", transcripts_shifted);
    print_shape("Golden Transcript Shape", transcripts_golden);
    print_shape("Feature Lengths Shape", feat_lengths);
    print_shape("Transcript Lengths Shape", transcript_lengths);
}

py::object skelderin(py::handle, const vk::Args<"dataloader">& a) {
    const py::handle dataloader = a.get<"dataloader">();
    const py::object dataset = vk::attr<"dataset">(dataloader);

    vk::println(kOuterRule);
    vk::println(vk::format_text(py::str("Dataloader Verification"), "^50"));
    vk::println(kOuterRule);
    print_value("Dataloader Partition", vk::attr<"partition">(dataset));
    vk::println(kInnerRule);
    print_value("Number of Batches", py::int_(py::len(dataloader)));
    print_value("Batch Size", vk::attr<"batch_size">(dataloader));
    vk::println(kInnerRule);
    vk::println(vk::format_text(py::str("Checking shapes of the data..."), "<50"), "\n");

    std::optional<py::object> max_feat_len, max_transcript_len;
    // Like a for loop that breaks at the second batch: the loader is asked for it.
    const py::iterator batches = py::iter(dataloader);
    for (long long i = 0;; ++i) {
        const py::object batch = py::reinterpret_steal<py::object>(PyIter_Next(batches.ptr()));
        if (!batch) {
            if (PyErr_Occurred()) throw py::error_already_set();
            break;
        }
        if (i > 0) break;
        if (vk::has_attr<"feat_max_len">(dataset)) {
            const auto [feats, shifted, golden, feat_lengths, transcript_lengths] = vk::unpack<5>(batch);
            print_shapes(feats, shifted, golden, feat_lengths, transcript_lengths);
            max_feat_len = vk::attr<"feat_max_len">(dataset);
            max_transcript_len = vk::attr<"text_max_len">(dataset);
        } else if (vk::has_attr<"text_max_len">(dataset)) {
            const auto [shifted, golden, lengths] = vk::unpack<3>(batch);
            print_shapes(py::none(), shifted, golden, py::none(), lengths);
            max_transcript_len = vk::attr<"text_max_len">(dataset);
        }
    }

    vk::println(kInnerRule);
    if (max_feat_len) print_value("Max Feature Length", *max_feat_len);
    if (!max_transcript_len) {
        PyErr_SetString(PyExc_UnboundLocalError,
                        "cannot access local variable 'max_transcript_len' where it is not associated with a value");
        throw py::error_already_set();
    }
    print_value("Max Transcript Length", *max_transcript_len);
    if (vk::has_attr<"get_avg_chars_per_token">(dataset))
        print_value("Avg. Chars per Token", vk::format_text(vk::call_method<"get_avg_chars_per_token">(dataset), ".2f"));
    vk::println(kOuterRule);
    return py::none();
}

constexpr vk::Def kSkelderin{"skelderin", skelderin,
                             "Prints a report of a data loader over an ASRDataset or LMDataset: partition, number of batches, "
                             "batch size, the shapes of the first batch, maximum lengths and average characters per token."};

}  // namespace

PYBIND11_MODULE(skelderin, m) {
    m.doc() = "Dataloader report for speech and text datasets.";
    vk::define_functions<kSkelderin>(m);
}
