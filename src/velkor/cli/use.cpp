// Using a trained model: velkor transcribe, velkor generate, velkor export. Thin layers over
// velkor.Recognizer, velkor.LanguageModel and velkor.export_model: the command finds the inputs,
// writes the results, and says in its exit status whether every input was transcribed.
#include "cli.hpp"

#include <algorithm>
#include <cmath>
#include <set>

namespace velkor_cli {
namespace {

bool ends_with(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && lowercase(s.substr(s.size() - tail.size())) == tail;
}

bool is_config(const std::string& path) { return ends_with(path, ".yaml") || ends_with(path, ".yml"); }
bool is_list(const std::string& path) {
    return ends_with(path, ".txt") || ends_with(path, ".lst") || ends_with(path, ".list") || ends_with(path, ".scp");
}

// A model given on the command line: a model file, or an experiment folder or its configuration.
py::object open_model(const char* kind, const std::string& given, py::handle lm = py::none()) {
    const py::object path = py::str(given);
    const bool file = vk::truthy(vk::call(vk::imported<"os.path", "isfile">(), path));
    if (!file && !is_dir(path)) fail(given + ": no such model file, experiment folder or configuration file");
    const py::handle cls = std::string(kind) == "asr" ? vk::imported<"velkor.recognizer", "Recognizer">()
                                                      : vk::imported<"velkor.recognizer", "LanguageModel">();
    try {
        const bool model_file = file && !is_config(given);
        if (std::string(kind) == "asr")
            return vk::call(model_file ? vk::attr<"from_file">(cls) : vk::attr<"from_experiment">(cls), path, kw<"lm">(lm));
        return vk::call(model_file ? vk::attr<"from_file">(cls) : vk::attr<"from_experiment">(cls), path);
    } catch (py::error_already_set& e) {
        if (e.matches(g_config_error) || (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError) && !e.matches(PyExc_KeyError))) throw;
        fail(str(e.value()));
    }
}

// Audio extensions soundfile reads ("wav", "flac", "ogg", "mp3", ...).
std::set<std::string> audio_extensions() {
    std::set<std::string> out;
    for (const auto& [name, _] : py::dict(vk::call(vk::imported<"soundfile", "available_formats">())))
        out.insert("." + lowercase(py::str(name)));
    return out;
}

// The inputs named on the command line: audio files, every audio file under a folder (sorted),
// the lines of a list file ("-": standard input). A name that is none of these is kept, so that
// its error is reported with the others.
std::vector<std::string> collect_inputs(const py::list& given) {
    const std::set<std::string> extensions = audio_extensions();
    const auto audio_like = [&](const std::string& name) {
        const std::size_t dot = name.rfind('.');
        return dot != std::string::npos && extensions.count(lowercase(name.substr(dot))) > 0;
    };
    std::vector<std::string> inputs;
    for (const py::handle item : given) {
        const std::string name = py::str(item);
        if (name == "-" || (is_list(name) && !audio_like(name))) {
            const py::object lines =
                name == "-" ? vk::call_method<"read">(vk::attr<"stdin">(vk::imported<"sys">()))
                            : vk::call_method<"read_text">(vk::call(vk::imported<"pathlib", "Path">(), item), kw<"encoding">("utf-8"));
            for (const py::handle line : py::list(vk::call_method<"splitlines">(lines))) {
                const std::string path = py::str(vk::call_method<"strip">(line));
                if (!path.empty()) inputs.push_back(path);
            }
        } else if (is_dir(item)) {
            std::vector<std::string> found;
            for (const py::handle p : py::iter(vk::call_method<"rglob">(vk::call(vk::imported<"pathlib", "Path">(), item), "*"))) {
                const std::string path = py::str(p);
                if (audio_like(path) && vk::truthy(vk::call_method<"is_file">(p))) found.push_back(path);
            }
            std::sort(found.begin(), found.end());
            inputs.insert(inputs.end(), found.begin(), found.end());
        } else {
            inputs.push_back(name);
        }
    }
    return inputs;
}

std::string one_line(std::string s) {
    for (char& c : s)
        if (c == '\n' || c == '\t' || c == '\r') c = ' ';
    return s;
}

std::string format_records(const py::list& records, const std::string& format) {
    if (format == "json")
        return py::str(vk::call(vk::imported<"json", "dumps">(), records, kw<"indent">(2), kw<"ensure_ascii">(false))).cast<std::string>() +
               "\n";
    std::string out = format == "tsv" ? "input\ttext\tseconds\terror\n" : "";
    for (const py::handle r : records) {
        const py::dict rec = py::reinterpret_borrow<py::dict>(r);
        const bool failed = !vk::get<"error">(rec, py::none()).is_none();
        const std::string text = failed ? std::string() : one_line(py::str(rec["text"]));
        if (format == "tsv") {
            const py::object seconds = vk::get<"seconds">(rec, py::none());
            out += one_line(py::str(rec["input"])) + "\t" + text + "\t" + (seconds.is_none() ? "" : fmt(py::cast<double>(seconds), 3)) +
                   "\t" + (failed ? one_line(py::str(rec["error"])) : "") + "\n";
        } else if (!failed) {
            out += records.size() == 1 ? text + "\n" : one_line(py::str(rec["input"])) + "\t" + text + "\n";
        }
    }
    return out;
}

void write_output(py::handle output, const std::string& text) {
    if (output.is_none()) {
        vk::call_method<"write">(vk::attr<"stdout">(vk::imported<"sys">()), py::str(text));
        return;
    }
    const py::object partial = py::str(str(output) + ".partial");
    vk::call_method<"write_text">(vk::call(vk::imported<"pathlib", "Path">(), partial), py::str(text), kw<"encoding">("utf-8"));
    vk::call(vk::imported<"os", "replace">(), partial, output);
}

double option_real(py::handle value, const std::string& option, double lo, double hi) {
    const double x = py::cast<double>(value);
    if (!std::isfinite(x) || x < lo || x > hi)
        fail(option + " must be a number in [" + fmt(lo, 1) + ", " + fmt(hi, 1) + "], got " + str(value), 2);
    return x;
}

}  // namespace

int run_transcribe(py::handle args) {
    use_threads(vk::attr<"threads">(args), nullptr);
    const long long beam = int_option(vk::attr<"beam">(args), "--beam", 1, 1024);
    const long long batch = int_option(vk::attr<"batch_size">(args), "--batch-size", 1, 4096);
    const double lm_weight = option_real(vk::attr<"lm_weight">(args), "--lm-weight", 0.0, 100.0);
    const py::object ctc_option = vk::attr<"ctc_weight">(args);
    const py::object ctc_weight =
        ctc_option.is_none() ? py::object(py::none()) : py::object(py::float_(option_real(ctc_option, "--ctc-weight", 0.0, 1.0)));
    const std::vector<std::string> inputs = collect_inputs(vk::attr<"audio">(args));
    if (inputs.empty()) fail("no audio found in " + str(vk::attr<"audio">(args)));
    const py::object lm_option = vk::attr<"lm">(args);
    const py::object lm = lm_option.is_none() ? py::object(py::none()) : open_model("lm", py::str(lm_option));
    const py::object recognizer = open_model("asr", py::str(vk::attr<"model">(args)), lm);

    const auto start = std::chrono::steady_clock::now();
    const py::list records =
        vk::call_method<"transcribe">(recognizer, py::cast(inputs), kw<"beam_width">(beam), kw<"ctc_weight">(ctc_weight),
                                      kw<"lm_weight">(lm_weight), kw<"batch_size">(batch), kw<"progress">(inputs.size() > 1));
    const double wall = seconds_since(start);
    write_output(vk::attr<"output">(args), format_records(records, py::str(vk::attr<"format">(args))));

    double audio = 0.0;
    long long failed = 0;
    for (const py::handle r : records) {
        const py::dict rec = py::reinterpret_borrow<py::dict>(r);
        if (!vk::get<"error">(rec, py::none()).is_none()) {
            print_stderr("velkor: " + str(rec["input"]) + ": skipped: " + one_line(py::str(rec["error"])));
            ++failed;
            continue;
        }
        const py::object seconds = vk::get<"seconds">(rec, py::none());
        if (!seconds.is_none()) audio += py::cast<double>(seconds);
    }
    print_stderr("Transcribed " + std::to_string(records.size() - failed) + " of " + std::to_string(records.size()) +
                 " input(s): " + fmt(audio, 1) + " s of audio in " + fmt(wall, 1) + " s" +
                 (audio > 0 ? " (real-time factor " + fmt(wall / audio, 3) + ")" : std::string()));
    if (failed > 0) fail(std::to_string(failed) + " of " + std::to_string(records.size()) + " input(s) could not be transcribed");
    return 0;
}

int run_generate(py::handle args) {
    use_threads(vk::attr<"threads">(args), nullptr);
    const long long num = int_option(vk::attr<"num">(args), "--num", 1, 100000);
    const long long max_length = int_option(vk::attr<"max_length">(args), "--max-length", 1, 100000);
    const long long top_k = int_option(vk::attr<"top_k">(args), "--top-k", 0, 1000000);
    const long long beam = int_option(vk::attr<"beam">(args), "--beam", 1, 1024);
    const double temperature = option_real(vk::attr<"temperature">(args), "--temperature", 1e-6, 100.0);
    const double top_p = option_real(vk::attr<"top_p">(args), "--top-p", 0.0, 1.0);
    const double length_penalty = option_real(vk::attr<"length_penalty">(args), "--length-penalty", 0.0, 10.0);
    const py::object model = open_model("lm", py::str(vk::attr<"model">(args)));
    const py::object seed = vk::attr<"seed">(args);
    const py::list texts = vk::call_method<"generate">(model, vk::attr<"prompt">(args), kw<"num">(num), kw<"max_length">(max_length),
                                                       kw<"temperature">(temperature), kw<"top_k">(top_k), kw<"top_p">(top_p),
                                                       kw<"beam_width">(beam), kw<"length_penalty">(length_penalty), kw<"seed">(seed));
    for (const py::handle t : texts) vk::println(one_line(py::str(t)));
    return 0;
}

int run_export(py::handle args) {
    const py::object experiment = vk::attr<"experiment">(args), out = vk::attr<"output">(args);
    if (!is_dir(experiment) && !vk::truthy(vk::call(vk::imported<"os.path", "isfile">(), experiment)))
        fail(str(experiment) + ": no such experiment folder or configuration file");
    py::object written;
    try {
        written = vk::call(vk::imported<"velkor.recognizer", "export_model">(), experiment, out);
    } catch (py::error_already_set& e) {
        if (e.matches(g_config_error) || (!e.matches(PyExc_ValueError) && !e.matches(PyExc_OSError))) throw;
        fail(str(e.value()));
    }
    const long long size = py::cast<long long>(vk::attr<"st_size">(vk::call(vk::imported<"os", "stat">(), written)));
    vk::println("Model file: ", written, " (", fmt(static_cast<double>(size) / 1e6, 1), " MB): weights in safetensors, configuration, ",
                "tokenizer and feature statistics as JSON; load it with velkor.Recognizer.from_file or velkor transcribe");
    return 0;
}

}  // namespace velkor_cli
