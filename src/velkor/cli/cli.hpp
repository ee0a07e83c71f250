// What the parts of the `velkor` command share: the checked configuration, the pieces built from
// it, the experiment on disk, and the one-line failures the command prints instead of a traceback.
//
//   config.cpp    the configuration schema (one table) and the checker that walks it
//   build.cpp     tokenizer, datasets, loaders, model and trainer; checkpoints checked before use
//   train.cpp     velkor train: never overwrites a trained experiment, history kept every epoch
//   evaluate.cpp  velkor evaluate: every decoding as its own row, results in one folder
//   average.cpp   velkor average: the mean of kept epoch model states
//   prepare.cpp   velkor prepare synth|audio|text
//   demo.cpp      velkor demo
//   use.cpp       velkor transcribe, generate, export: a trained model put to use
//   distributed.cpp  velkor train under torchrun (one process group per command) and --nproc
//   module.cpp    argument parsing, threads, exit status
#pragma once

#include <vk/common.hpp>

#include <pybind11/stl.h>

#include <chrono>
#include <string>
#include <utility>
#include <vector>

namespace velkor_cli {

namespace py = pybind11;
using vk::kw;

// ---------------------------------------------------------------------------------------------
// Failures

// velkor.cli.ConfigError: a configuration the command refuses (exit status 2).
extern PyObject* g_config_error;
[[noreturn]] void config_fail(const std::string& file, const std::string& message);

// Anything else the command stops on with one line and an exit status: a checkpoint it cannot
// use, an experiment it would overwrite, a decoding that did not run.
struct Failure {
    std::string message;
    int status = 1;
};
[[noreturn]] inline void fail(std::string message, int status = 1) { throw Failure{std::move(message), status}; }

// ---------------------------------------------------------------------------------------------
// Files and small helpers

py::object join(py::handle a, py::handle b);
py::object join(py::handle a, const char* b);
bool exists(py::handle path);
bool is_dir(py::handle path);
void make_dirs(py::handle path);
void remove_tree(py::handle path);
void remove_file(py::handle path);
std::string str(py::handle o);
// One line on standard error.
void print_stderr(const std::string& line);
std::string lowercase(std::string s);
double seconds_since(std::chrono::steady_clock::time_point start);
// An integer command-line option within [lo, hi], else a one-line error (exit status 2).
long long int_option(py::handle value, const std::string& option, long long lo, long long hi);
// JSON written to a temporary file and moved over `path`: a reader never sees half a file.
void write_json(py::handle path, py::handle value);
// Bounded text of a configuration value for messages: never the whole of a huge or shared value.
std::string shown(py::handle v);

// ---------------------------------------------------------------------------------------------
// Configuration

struct Config {
    py::dict data;     // the whole configuration, defaults filled in
    std::string file;  // the YAML file it came from
    std::string task;  // "lm", "asr" or "progressive"
    std::string name;  // run name: expts/<name>
};

inline bool is_speech(const Config& c) { return c.task != "lm"; }
inline py::dict section(const Config& c, const char* name) { return c.data[name]; }

Config load_config(const std::string& file);
// The configuration reference as a Markdown table, one row per key of the schema.
std::string config_reference();

// ---------------------------------------------------------------------------------------------
// Building

py::object build_tokenizer(const Config& cfg);
// A dataset of one partition ("train", "val" or "test"); `stats` (mean, std) normalizes speech
// partitions other than training.
py::object build_dataset(const Config& cfg, py::handle tokenizer, const char* which, py::handle stats = py::none());
py::object loader(const Config& cfg, py::handle dataset, bool shuffle);
py::object build_model(const Config& cfg, py::handle tokenizer);
py::object build_trainer(const Config& cfg, py::handle model, py::handle tokenizer);
// The optimizer and scheduler the configuration describes, assigned to the trainer.
void build_optimization(const Config& cfg, py::handle trainer, py::handle train_loader);
void seed_everything(const Config& cfg);

// expts/<name> of a configuration: under the working directory, where `velkor train` puts it.
py::object expt_root(const Config& cfg);
// The experiment of a configuration wherever it was trained: the working directory first, then
// the configuration's folder and the folders above it.
py::object find_experiment(const Config& cfg);
py::object checkpoint_path(py::handle root, const char* filename);

py::object stats_path(py::handle root);
py::object training_stats(py::handle train_set);
py::object load_stats(const Config& cfg, py::handle root);
py::object saved_tokenizer(const Config& cfg, py::handle root);

// A checkpoint read and checked against `model` before anything is restored from it: one line
// naming the file and what does not match when it cannot be used.
py::dict read_checkpoint(py::handle path, py::handle model);
// Model weights of the experiment's best checkpoint; returns the checkpoint.
py::dict load_best(const Config& cfg, py::handle root, py::handle model);

// ---------------------------------------------------------------------------------------------
// Training

struct Trained {
    py::object trainer, tokenizer, train_set, val_set, train_loader, val_loader;
};

// Everything a training run needs, the optimizer and scheduler assigned, the history and the
// learning curve kept on disk after every epoch.
Trained setup_training(const Config& cfg);
// Training held to a time budget of `budget_seconds` (the demo): at most `max_epochs` epochs; returns
// the number of epochs run.
long long train_within(const Config& cfg, const Trained& t, double budget_seconds, long long max_epochs, double eta_min);
void save_history(const Config& cfg, py::handle trainer);
// Holds the trainer to `budget` (a velkor.utils.tamblor.TimeBudget): a BudgetSchedule planned for at
// most `max_epochs` epochs replaces the configured schedule; `eta_min` < 0 takes the configured floor.
void hold_to_budget(const Config& cfg, const Trained& t, py::handle budget, long long max_epochs, double eta_min = -1.0);

// ---------------------------------------------------------------------------------------------
// Checkpoint averaging (average.cpp)

// The model state of the trainer's current epoch as checkpoints/epoch-EEEE-model.pth; the kept
// states are pruned to the newest `keep` and the best `keep` by the validation metric.
void keep_epoch_state(const Config& cfg, py::handle trainer, long long keep);
// checkpoints/averaged.pth under `root`: the mean of the `count` kept states chosen by `how`
// ("last" or "best"); one line naming the file when they are too few or do not match. Returns its path.
py::object average_checkpoints(py::handle root, const std::string& how, long long count);

// ---------------------------------------------------------------------------------------------
// Evaluation

struct Decoded {
    std::string name;
    py::list records;
    double seconds = 0.0;
    double wer = NAN, cer = NAN;
    std::string error;
};

struct SpeechTest {
    py::object loader;
    std::vector<std::string> ids, refs;
};
SpeechTest speech_test(const Config& cfg, py::handle test_set);
// Every configured decoding of the test partition: attention greedy and beam, beam with LM
// fusion, joint CTC/attention greedy and beam, CTC.
std::vector<Decoded> evaluate_speech(const Config& cfg, py::handle trainer, py::handle tokenizer, const SpeechTest& test,
                                     py::handle lm_model, double lm_weight);
Decoded decode(py::handle trainer, const SpeechTest& test, const std::string& name, py::dict rec_cfg, long long max_length,
               py::handle tokenizer);
py::dict recognition_config(py::handle base, long long beam_width, double ctc_weight, py::handle lm_model, double lm_weight);
long long decoding_length(const Config& cfg, py::handle trainer, py::handle tokenizer, const std::vector<std::string>& refs);
void results_table(const std::vector<Decoded>& runs, py::handle out_dir, long long utterances);
void print_pairs(const Decoded& d, const std::vector<std::string>& refs, std::size_t count);
// A fresh evaluation folder: results are written into it and it replaces the earlier one whole.
py::object new_evaluation_dir(py::handle root);
py::object publish_evaluation(py::handle root, py::handle fresh);
void save_records(py::handle dir, const std::vector<Decoded>& runs, const SpeechTest& test);
std::string fmt(double v, int decimals);

// ---------------------------------------------------------------------------------------------
// Several processes (torchrun)

// Whether torchrun started this process (WORLD_SIZE is set).
bool launched_by_torchrun();
// This process's membership of torch.distributed's default group for one command: joined when
// torchrun started it (NCCL with the GPU of LOCAL_RANK on CUDA, else gloo; collectives time out
// after --collective-timeout seconds, 300 by default), left when the command ends however it
// ends. Does nothing in a process torchrun did not start.
class DistributedRun {
public:
    DistributedRun(const Config& cfg, py::handle timeout_option);
    ~DistributedRun();
    DistributedRun(const DistributedRun&) = delete;
    DistributedRun& operator=(const DistributedRun&) = delete;
    // One line on standard error naming this rank, when several processes run.
    void report_failure(const std::string& what) const;

private:
    bool active_ = false;
    long long rank_ = 0, size_ = 1;
};
// Rank 0 (or the only process) writes the experiment's files and prints the reports.
bool writes();
// Every process waits until all have arrived (no-op alone).
void wait_for_all();
// velkor train --nproc N: torch.distributed.run with the same command on this machine.
int launch_processes(py::handle args, long long nproc, const Config& cfg);

// ---------------------------------------------------------------------------------------------
// Commands (argparse namespaces in, exit status out)

int run_prepare(py::handle args);
int run_train(py::handle args);
int run_evaluate(py::handle args);
int run_average(py::handle args);
int run_demo(py::handle args);
int run_transcribe(py::handle args);
int run_generate(py::handle args);
int run_export(py::handle args);

// CPU threads for torch: --threads, else the "training.threads" key, else the cores that are
// free now (threads that wait for each other's cores run many times slower than one alone).
long long default_threads();
void use_threads(py::handle option, const Config* cfg);

}  // namespace velkor_cli
