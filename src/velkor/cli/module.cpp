// The `velkor` command: dataset preparation, training and evaluation from YAML configurations,
// and the end-to-end demonstration.
//
//   velkor prepare synth|audio|text ...   datasets on disk (velkor.data.prepare)
//   velkor train CONFIG.yaml [--resume | --overwrite] [--minutes M] [--threads N] [--nproc N] [--collective-timeout S]
//   velkor evaluate CONFIG.yaml [--checkpoint best|last|averaged] [--lm LM] [--lm-weight W] [--threads N]
//   velkor average EXPERIMENT|CONFIG (--last N | --best N)
//   velkor transcribe MODEL AUDIO... / generate MODEL / export EXPERIMENT OUT.vkm
//   velkor demo                            prepare -> LM -> joint CTC/attention ASR -> evaluation
//
// Sub-commands are parsed with argparse through its Python API. What a user can act on is one
// line on standard error and an exit status that tells the truth: 0 when everything asked for
// happened, 2 for a configuration or option error, 1 for anything else that did not happen, 130
// when interrupted.
#include "cli.hpp"

#include <algorithm>
#include <cmath>

namespace velkor_cli {
namespace {

py::object add_parser(py::handle subparsers, const char* name, const char* help, const char* description) {
    return vk::call(vk::attr<"add_parser">(subparsers), name, kw<"help">(help), kw<"description">(description));
}

template <class... A>
void add_arg(py::handle parser, A&&... args) {
    vk::call(vk::attr<"add_argument">(parser), std::forward<A>(args)...);
}

void add_threads(py::handle parser) {
    add_arg(parser, "--threads", kw<"type">(vk::imported<"builtins", "int">()), kw<"metavar">("N"),
            kw<"help">("CPU threads (default: the training.threads key, else the cores that are free now)"));
}

// velkor prepare synth|audio|text
void add_prepare(py::handle commands) {
    const py::handle integer = vk::imported<"builtins", "int">();
    const py::object prepare =
        add_parser(commands, "prepare", "build a dataset on disk",
                   "Build a dataset in the layout the datasets read: <root>/<partition>/fbank/*.npy and text/*.npy.");
    const py::object kinds = vk::call(vk::attr<"add_subparsers">(prepare), kw<"dest">("kind"), kw<"metavar">("KIND"));
    vk::set_attr<"required">(kinds, py::bool_(true));
    const py::object synth = add_parser(kinds, "synth", "a speech dataset spoken by eSpeak NG (extra 'synth')",
                                        "Speak sentences of a text file with eSpeak NG (several voices, speeds and pitches) and store "
                                        "80-dimensional log-mel filter banks and transcripts in the partitions train-clean-100, "
                                        "dev-clean and test-clean. Needs the optional extra: pip install 'velkor[synth]'.");
    add_arg(synth, "--text", kw<"metavar">("FILE"),
            kw<"help">("sentences, one per line (default: embedded:asr, the embedded public-domain text)"));
    add_arg(synth, "--output", kw<"default">("data/synth"), kw<"metavar">("DIR"), kw<"help">("dataset root (default: data/synth)"));
    add_arg(synth, "--train", kw<"type">(integer), kw<"default">(2000), kw<"help">("training utterances (default: 2000)"));
    add_arg(synth, "--dev", kw<"type">(integer), kw<"default">(100), kw<"help">("validation utterances (default: 100)"));
    add_arg(synth, "--test", kw<"type">(integer), kw<"default">(100), kw<"help">("test utterances (default: 100)"));
    add_arg(synth, "--voices", kw<"metavar">("V1,V2"), kw<"help">("comma-separated eSpeak NG voices (default: six English voices)"));
    add_arg(synth, "--min-words", kw<"type">(integer), kw<"default">(3), kw<"help">("shortest sentence used, in words (default: 3)"));
    add_arg(synth, "--max-words", kw<"type">(integer), kw<"default">(12), kw<"help">("longest sentence used, in words (default: 12)"));
    add_arg(synth, "--seed", kw<"type">(integer), kw<"default">(0), kw<"help">("seed of the sentence order and voice draws"));
    add_arg(synth, "--speed-perturb", kw<"metavar">("F1,F2"),
            kw<"help">("also write each training utterance at these speeds (0.5-2), e.g. 0.9,1.0,1.1; dev and test are never perturbed"));

    const py::object audio = add_parser(kinds, "audio", "a speech partition from your recordings",
                                        "Build one partition from recordings: a LibriSpeech-style folder (*.flac with *.trans.txt) or a "
                                        "TSV file of audio path and transcript. Audio not at 16 kHz is resampled; unreadable files are "
                                        "reported and skipped.");
    add_arg(audio, "source", kw<"help">("LibriSpeech-style folder or TSV file"));
    add_arg(audio, "output", kw<"help">("partition folder to write, e.g. data/libri/train-clean-100"));
    add_arg(audio, "--speed-perturb", kw<"metavar">("F1,F2"),
            kw<"help">("also write each utterance at these speeds (0.5-2), e.g. 0.9,1.0,1.1; for a training partition only"));

    const py::object text = add_parser(kinds, "text", "a language-model partition from a text file",
                                       "Write one transcript array per non-empty line of a text file into a partition folder.");
    add_arg(text, "text_file", kw<"help">("text file, one transcript per line; embedded:lm for the embedded text"));
    add_arg(text, "output", kw<"help">("partition folder (or the root of the --splits partitions)"));
    add_arg(
        text, "--splits", kw<"metavar">("NAME=FRACTION,..."),
        kw<"help">(
            "shuffle the lines and deal them into partitions under OUTPUT (plain names, each once), e.g. train=0.9,dev=0.05,test=0.05"));
    add_arg(text, "--seed", kw<"type">(integer), kw<"default">(0), kw<"help">("seed of the shuffle for --splits"));
    add_arg(text, "--max-chars", kw<"type">(integer), kw<"metavar">("N"), kw<"help">("skip lines longer than N characters"));
}

// velkor train
void add_train(py::handle commands) {
    const py::object train = add_parser(commands, "train", "train the model a YAML configuration describes",
                                        "Train with the trainer named by the configuration's task (lm, asr, progressive). The "
                                        "experiment goes to expts/<name>/ under the working directory; an experiment that holds "
                                        "checkpoints is only continued (--resume) or started again (--overwrite).");
    add_arg(train, "config", kw<"help">("YAML configuration file"));
    const py::object how = vk::call(vk::attr<"add_mutually_exclusive_group">(train));
    add_arg(how, "--resume", kw<"action">("store_true"), kw<"help">("continue after the last finished epoch of the experiment"));
    add_arg(how, "--overwrite", kw<"action">("store_true"),
            kw<"help">("start the experiment again, deleting its checkpoints and evaluation results"));
    add_threads(train);
    const py::handle integer = vk::imported<"builtins", "int">();
    add_arg(train, "--nproc", kw<"type">(integer), kw<"metavar">("N"),
            kw<"help">("train on N processes of this machine (data parallel, started by torch.distributed.run; one per GPU "
                       "on CUDA); several machines: start `velkor train` with torchrun"));
    add_arg(train, "--collective-timeout", kw<"type">(integer), kw<"metavar">("SECONDS"),
            kw<"help">("under several processes, how long one waits for the others before the job stops (default: 300)"));
    add_arg(train, "--minutes", kw<"type">(vk::imported<"builtins", "float">()), kw<"metavar">("M"),
            kw<"help">("time budget: the learning-rate schedule plans the updates that fit in M minutes and ends annealed, the "
                       "last epoch may be partial (default: the training.minutes key; training.epochs stays the most)"));
}

// velkor evaluate
void add_evaluate(py::handle commands) {
    const py::handle real = vk::imported<"builtins", "float">();
    const py::object evaluate = add_parser(commands, "evaluate", "evaluate the best checkpoint on the test partition",
                                           "Load the experiment's averaged model (velkor average) or else its best checkpoint and print "
                                           "the test results as a table (also saved as CSV and JSON in expts/<name>/evaluation/).");
    add_arg(evaluate, "config", kw<"help">("YAML configuration file of a trained experiment"));
    add_arg(evaluate, "--checkpoint", kw<"choices">(py::make_tuple("best", "last", "averaged")), kw<"metavar">("WHICH"),
            kw<"help">("the model evaluated: best, last or averaged (default: checkpoints/averaged.pth when it is there and "
                       "as new as the last epoch, else the best)"));
    add_arg(evaluate, "--lm", kw<"metavar">("LM"),
            kw<"help">("a trained language model for shallow fusion: its configuration file or experiment folder"));
    add_arg(evaluate, "--lm-weight", kw<"type">(real), kw<"metavar">("W"),
            kw<"help">("weight of the language model scores (default: recognition.lm_weight, else 0.3)"));
    add_threads(evaluate);
}

// velkor average
void add_average(py::handle commands) {
    const py::handle integer = vk::imported<"builtins", "int">();
    const py::object average =
        add_parser(commands, "average", "average the model states of several epochs",
                   "Write checkpoints/averaged.pth: the element-wise mean of the model weights of the last N or the best N epochs "
                   "(integer buffers from the newest), which velkor evaluate then uses. The epoch states are those a run with "
                   "training.average_last keeps (the last and the best that many).");
    add_arg(average, "experiment", kw<"help">("an experiment folder (expts/<name>) or its configuration file"));
    const py::object which = vk::call(vk::attr<"add_mutually_exclusive_group">(average), kw<"required">(true));
    add_arg(which, "--last", kw<"type">(integer), kw<"metavar">("N"), kw<"help">("the N newest epochs"));
    add_arg(which, "--best", kw<"type">(integer), kw<"metavar">("N"), kw<"help">("the N epochs of the best validation metric"));
}

// velkor transcribe
void add_transcribe(py::handle commands) {
    const py::handle integer = vk::imported<"builtins", "int">();
    const py::handle real = vk::imported<"builtins", "float">();
    const py::object transcribe =
        add_parser(commands, "transcribe", "transcribe recordings with a trained speech model",
                   "Transcribe audio files (whatever soundfile reads), every audio file under a folder, or the paths of a list "
                   "file (- reads the list from standard input). Long recordings are split at their quietest points. A file "
                   "that cannot be read is reported and skipped; the exit status says whether any was.");
    add_arg(transcribe, "model", kw<"help">("a model file (velkor export), an experiment folder or its configuration file"));
    add_arg(transcribe, "audio", kw<"nargs">("+"), kw<"metavar">("AUDIO"), kw<"help">("audio files, folders, list files or -"));
    add_arg(transcribe, "--lm", kw<"metavar">("LM"),
            kw<"help">("a language model for shallow fusion (model file, experiment or configuration)"));
    add_arg(transcribe, "--lm-weight", kw<"type">(real), kw<"default">(0.3), kw<"metavar">("W"),
            kw<"help">("weight of the language model scores (default: 0.3)"));
    add_arg(transcribe, "--beam", kw<"type">(integer), kw<"default">(1), kw<"metavar">("N"), kw<"help">("beam width (default: 1, greedy)"));
    add_arg(transcribe, "--ctc-weight", kw<"type">(real), kw<"metavar">("W"),
            kw<"help">("weight of the CTC scores in joint decoding, 0 for attention alone (default: as the model was trained)"));
    add_arg(transcribe, "--batch-size", kw<"type">(integer), kw<"default">(8), kw<"metavar">("N"),
            kw<"help">("utterances decoded together (default: 8)"));
    add_arg(transcribe, "--format", kw<"choices">(py::make_tuple("text", "json", "tsv")), kw<"default">("text"),
            kw<"help">("text: one transcript per line; json: every record; tsv: input, text, seconds, error"));
    add_arg(transcribe, "--output", kw<"metavar">("FILE"), kw<"help">("write the transcripts to FILE instead of standard output"));
    add_threads(transcribe);
}

// velkor generate
void add_generate(py::handle commands) {
    const py::handle integer = vk::imported<"builtins", "int">();
    const py::handle real = vk::imported<"builtins", "float">();
    const py::object generate = add_parser(commands, "generate", "generate text with a trained language model",
                                           "Continue a prompt (or start from nothing) with a trained language model.");
    add_arg(generate, "model", kw<"help">("a model file (velkor export), an experiment folder or its configuration file"));
    add_arg(generate, "--prompt", kw<"default">(""), kw<"help">("text to continue (default: none)"));
    add_arg(generate, "--num", kw<"type">(integer), kw<"default">(1), kw<"metavar">("N"), kw<"help">("texts to generate (default: 1)"));
    add_arg(generate, "--max-length", kw<"type">(integer), kw<"default">(100), kw<"metavar">("L"),
            kw<"help">("longest text, in tokens (default: 100)"));
    add_arg(generate, "--temperature", kw<"type">(real), kw<"default">(1.0), kw<"metavar">("T"),
            kw<"help">("sampling temperature (default: 1.0)"));
    add_arg(generate, "--top-k", kw<"type">(integer), kw<"default">(0), kw<"metavar">("K"),
            kw<"help">("sample among the K most likely tokens (default: 0, greedy unless --top-p)"));
    add_arg(generate, "--top-p", kw<"type">(real), kw<"default">(0.0), kw<"metavar">("P"),
            kw<"help">("nucleus sampling mass (default: 0, off)"));
    add_arg(generate, "--beam", kw<"type">(integer), kw<"default">(1), kw<"metavar">("N"), kw<"help">("beam width (default: 1)"));
    add_arg(generate, "--length-penalty", kw<"type">(real), kw<"default">(0.0), kw<"metavar">("A"),
            kw<"help">("rank beam hypotheses by total log-probability / length^A (default: 0, unnormalized; 1: per token)"));
    add_arg(generate, "--seed", kw<"type">(integer), kw<"help">("random seed of sampling"));
    add_threads(generate);
}

// velkor export
void add_export(py::handle commands) {
    const py::object export_ =
        add_parser(commands, "export", "write a trained model as one shareable file",
                   "Write everything a trained model needs (configuration, tokenizer, feature statistics, "
                   "weights) into one file: weights in safetensors, the rest as JSON, so loading it never runs code.");
    add_arg(export_, "experiment", kw<"help">("an experiment folder (expts/<name>) or its configuration file"));
    add_arg(export_, "output", kw<"help">("the model file to write, e.g. demo-asr.vkm"));
}

// velkor demo
void add_demo(py::handle commands) {
    const py::handle integer = vk::imported<"builtins", "int">();
    const py::handle real = vk::imported<"builtins", "float">();
    const py::object demo = add_parser(commands, "demo", "the whole road on the embedded text, in about 10 minutes",
                                       "Prepare data from the embedded text, train a character LM and a joint CTC/attention speech "
                                       "recognizer, evaluate greedy, beam and beam+LM decoding on the test partition and show where "
                                       "every output is. Needs the optional extra 'synth'.");
    add_arg(demo, "--output", kw<"default">("data/demo"), kw<"metavar">("DIR"), kw<"help">("data and configurations (default: data/demo)"));
    add_arg(demo, "--train", kw<"type">(integer), kw<"default">(3000), kw<"help">("training utterances (default: 3000)"));
    add_arg(demo, "--test", kw<"type">(integer), kw<"default">(200), kw<"help">("test utterances (default: 200)"));
    add_arg(demo, "--minutes", kw<"type">(real), kw<"default">(10.0),
            kw<"help">("time budget: the models train for as many epochs as fit (default: 10)"));
    add_arg(demo, "--lm-epochs", kw<"type">(integer), kw<"default">(4),
            kw<"help">("at most this many LM epochs, each over half the LM text (default: 4)"));
    add_arg(demo, "--asr-epochs", kw<"type">(integer), kw<"default">(30), kw<"help">("at most this many ASR epochs (default: 30)"));
    add_threads(demo);
}

py::object build_parser() {
    const py::object parser = vk::call(vk::imported<"argparse", "ArgumentParser">(), kw<"prog">("velkor"),
                                       kw<"description">("Train and run attention-based speech recognition and language models."));
    std::string version = "(not installed)";
    try {
        version = str(vk::call(vk::imported<"importlib.metadata", "version">(), "velkor"));
    } catch (py::error_already_set& e) {
        if (!e.matches(vk::imported<"importlib.metadata", "PackageNotFoundError">())) throw;
    }
    add_arg(parser, "--version", kw<"action">("version"), kw<"version">(py::str("velkor " + version)));
    const py::object commands = vk::call(vk::attr<"add_subparsers">(parser), kw<"dest">("command"), kw<"metavar">("COMMAND"));
    vk::set_attr<"required">(commands, py::bool_(true));
    add_prepare(commands);
    add_train(commands);
    add_evaluate(commands);
    add_average(commands);
    add_transcribe(commands);
    add_generate(commands);
    add_export(commands);
    add_demo(commands);
    return parser;
}

int dispatch(py::handle args) {
    const std::string command = py::str(vk::attr<"command">(args));
    if (command == "prepare") return run_prepare(args);
    if (command == "train") return run_train(args);
    if (command == "evaluate") return run_evaluate(args);
    if (command == "average") return run_average(args);
    if (command == "transcribe") return run_transcribe(args);
    if (command == "generate") return run_generate(args);
    if (command == "export") return run_export(args);
    return run_demo(args);
}

void print_error(const std::string& message) { print_stderr("velkor: error: " + message); }

using MainArgs = vk::Args<"argv=None">;

py::object main_entry(py::handle, const MainArgs& a) {
    // Threads that wait for work yield their core instead of spinning on it: on a machine shared
    // with other work, spinning threads made training many times slower. Read by the OpenMP
    // runtime when torch is first imported, which the command does after this point.
    vk::call_method<"setdefault">(vk::attr<"environ">(vk::imported<"os">()), "OMP_WAIT_POLICY", "PASSIVE");
    const py::object parser = build_parser();
    py::object argv = py::reinterpret_borrow<py::object>(a.get<"argv">());
    const py::object args = vk::call(vk::attr<"parse_args">(parser), argv);
    try {
        return py::int_(dispatch(args));
    } catch (const Failure& f) {
        print_error(f.message);
        return py::int_(f.status);
    } catch (py::error_already_set& e) {
        // Errors a user can act on get one line; anything else keeps its traceback.
        if (e.matches(PyExc_KeyboardInterrupt)) {
            vk::println("");
            print_stderr("velkor: interrupted");
            return py::int_(130);
        }
        if (e.matches(g_config_error) || e.matches(PyExc_ModuleNotFoundError) || e.matches(PyExc_FileNotFoundError)) {
            print_error(str(e.value()));
            return py::int_(e.matches(g_config_error) ? 2 : 1);
        }
        throw;
    }
}

using LoadConfigArgs = vk::Args<"path">;
py::object load_config_entry(py::handle, const LoadConfigArgs& a) {
    const py::object fs = vk::call(vk::imported<"os", "fspath">(), a.get<"path">());
    return load_config(py::str(fs)).data;
}

py::object config_reference_entry(py::handle, const vk::Args<"">&) { return py::str(config_reference()); }
py::object default_threads_entry(py::handle, const vk::Args<"">&) { return py::int_(default_threads()); }

constexpr vk::Def kMain{"main", main_entry,
                        "Runs the `velkor` command with argv (default: sys.argv[1:]) and returns its exit status: 0 when everything "
                        "asked for happened, 2 for a configuration or option error, 1 when something did not happen, 130 when "
                        "interrupted."};
constexpr vk::Def kLoadConfig{"load_config", load_config_entry,
                              "Reads and checks a YAML configuration, filling in defaults. Raises ConfigError naming the key and "
                              "the file for a missing, unknown or malformed key."};
constexpr vk::Def kConfigReference{"config_reference", config_reference_entry,
                                   "The configuration reference: a Markdown table of every key, the tasks that read it, what it "
                                   "takes, its default and what it means."};
constexpr vk::Def kDefaultThreads{"default_threads", default_threads_entry,
                                  "CPU threads the commands use by default: half the logical CPUs of this process (pairs of "
                                  "SMT siblings share a core), at most those the load average leaves free, at least one."};

}  // namespace

// Half the logical CPUs: they are mostly pairs of SMT siblings sharing one core (as cloud vCPUs
// are), and torch's threads on two siblings slow a step of these models down (0.46 s with one
// thread, 0.76 s with both on a two-vCPU machine). Never more than the load average leaves free.
long long default_threads() {
    const long long cpus = py::len(vk::call(vk::imported<"os", "sched_getaffinity">(), 0));
    const double load = py::cast<double>(py::tuple(vk::call(vk::imported<"os", "getloadavg">()))[0]);
    const long long free = cpus - static_cast<long long>(std::floor(load));
    return std::clamp<long long>(std::min(free, cpus / 2), 1, std::max(1LL, cpus));
}

void use_threads(py::handle option, const Config* cfg) {
    long long threads = 0;
    std::string why;
    if (!option.is_none()) {
        threads = int_option(option, "--threads", 1, 4096);
        why = "--threads";
    } else if (cfg != nullptr && section(*cfg, "training").contains("threads")) {
        threads = py::cast<long long>(section(*cfg, "training")["threads"]);
        why = "training.threads";
    } else {
        threads = default_threads();
        const double load = py::cast<double>(py::tuple(vk::call(vk::imported<"os", "getloadavg">()))[0]);
        why = "half the CPUs, at most the free ones: load average " + vk::fixed_text(load, 1);
    }
    vk::call(vk::imported<"torch", "set_num_threads">(), threads);
    // On standard error: standard output of transcribe and generate is their result alone.
    print_stderr("CPU threads: " + std::to_string(threads) + " (" + why + ")");
}

}  // namespace velkor_cli

PYBIND11_MODULE(cli, m) {
    namespace py = pybind11;
    m.doc() = "The `velkor` command line: prepare data, train, evaluate, and the end-to-end demo.";
    const py::object type = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type));
    py::dict ns;
    ns["__module__"] = "velkor.cli";
    ns["__doc__"] = "A configuration file with a missing or malformed key; the message names the file and the key.";
    const py::object error = type("ConfigError", py::make_tuple(py::handle(PyExc_ValueError)), ns);
    velkor_cli::g_config_error = vk::keep(error);
    m.attr("ConfigError") = error;
    vk::define_functions<velkor_cli::kMain, velkor_cli::kLoadConfig, velkor_cli::kConfigReference, velkor_cli::kDefaultThreads>(m);
}
