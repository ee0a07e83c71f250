// velkor train on several processes: under torchrun (which starts, watches and rendezvouses the
// workers and sets RANK, LOCAL_RANK, WORLD_SIZE, ...) each process joins torch.distributed's
// default group (NCCL on CUDA, on the GPU LOCAL_RANK names; gloo on the CPU) and leaves it when
// the command ends, however it ends. `velkor train --nproc N` is the one-machine shortcut: it runs
// torch.distributed.run with the same command; no process management of our own.
#include "cli.hpp"

#include <vkdomain/distributed.hpp>

namespace velkor_cli {
namespace {

// An environment variable torchrun sets, as an integer; -1 when absent.
long long launched_value(const char* name) {
    const py::object value = vk::call_method<"get">(vk::attr<"environ">(vk::imported<"os">()), name);
    if (value.is_none()) return -1;
    try {
        return py::cast<long long>(vk::call(vk::imported<"builtins", "int">(), value));
    } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_ValueError)) throw;
        fail(std::string("the launcher set ") + name + " to " + str(value) + ", not a whole number");
    }
}

// The velkor command's script, which torchrun starts with the interpreter: this one, else the one
// on the PATH, else the one beside the interpreter.
py::object velkor_script() {
    const py::list argv = vk::attr<"argv">(vk::imported<"sys">());
    const py::handle path = vk::imported<"os.path">();
    if (!argv.empty()) {
        const py::object first = argv[0];
        if (str(vk::call(vk::attr<"basename">(path), first)) == "velkor" && vk::truthy(vk::call(vk::attr<"isfile">(path), first)))
            return vk::call(vk::attr<"abspath">(path), first);
    }
    const py::object found = vk::call(vk::imported<"shutil", "which">(), "velkor");
    if (!found.is_none()) return found;
    const py::object beside = join(vk::call(vk::attr<"dirname">(path), vk::attr<"executable">(vk::imported<"sys">())), py::str("velkor"));
    if (vk::truthy(vk::call(vk::attr<"isfile">(path), beside))) return beside;
    fail("--nproc starts the velkor command in each process, but no velkor script was found (install the package)");
}

}  // namespace

bool launched_by_torchrun() { return launched_value("WORLD_SIZE") >= 1; }

DistributedRun::DistributedRun(const Config& cfg, py::handle timeout_option) {
    const long long world_size = launched_value("WORLD_SIZE");
    if (world_size < 1) return;  // one process, as always
    const long long seconds = timeout_option.is_none() ? 300 : int_option(timeout_option, "--collective-timeout", 1, 86400);
    const py::dict training = section(cfg, "training");
    const bool cpu = training.contains("device") && str(training["device"]) == "cpu";
    const bool cuda = !cpu && vk::truthy(vk::call(vk::imported<"torch.cuda", "is_available">()));
    if (cuda) vk::call(vk::imported<"torch.cuda", "set_device">(), std::max(0LL, launched_value("LOCAL_RANK")));
    const py::object timeout = vk::call(vk::imported<"datetime", "timedelta">(), kw<"seconds">(seconds));
    vk::call(vk::imported<"torch.distributed", "init_process_group">(), kw<"backend">(cuda ? "nccl" : "gloo"), kw<"timeout">(timeout));
    active_ = true;
    rank_ = py::cast<long long>(vk::call(vk::imported<"torch.distributed", "get_rank">()));
    size_ = py::cast<long long>(vk::call(vk::imported<"torch.distributed", "get_world_size">()));
}

DistributedRun::~DistributedRun() {
    if (!active_) return;
    // Runs while an error may be in flight: that error is kept, one of leaving is dropped.
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    try {
        vk::call(vk::imported<"torch.distributed", "destroy_process_group">());
    } catch (...) {
        PyErr_Clear();
    }
    PyErr_Restore(type, value, trace);
}

void DistributedRun::report_failure(const std::string& what) const {
    if (active_ && size_ > 1) print_stderr("velkor: rank " + std::to_string(rank_) + " of " + std::to_string(size_) + " stopped: " + what);
}

bool writes() { return vkdomain::world().writes(); }
void wait_for_all() { vkdomain::barrier(); }

int launch_processes(py::handle args, long long nproc, const Config& cfg) {
    if (launched_by_torchrun()) fail("--nproc starts processes itself: leave it out under torchrun", 2);
    py::list argv;
    for (const char* a : {"--standalone", "--nproc-per-node"}) argv.append(a);
    argv.append(py::str(std::to_string(nproc)));
    argv.append(velkor_script());
    argv.append("train");
    argv.append(vk::attr<"config">(args));
    if (vk::truthy(vk::attr<"resume">(args))) argv.append("--resume");
    if (vk::truthy(vk::attr<"overwrite">(args))) argv.append("--overwrite");
    const py::object threads = vk::attr<"threads">(args);
    // The cores that are free now, shared among the processes, unless a number was asked for.
    if (!threads.is_none() || !section(cfg, "training").contains("threads")) {
        argv.append("--threads");
        argv.append(py::str(threads.is_none() ? std::to_string(std::max(1LL, default_threads() / nproc)) : str(threads)));
    }
    const py::object timeout = vk::attr<"collective_timeout">(args);
    if (!timeout.is_none()) {
        argv.append("--collective-timeout");
        argv.append(py::str(timeout));
    }
    try {
        vk::call(vk::imported<"torch.distributed.run", "main">(), argv);
    } catch (py::error_already_set& e) {
        if (!e.matches(vk::imported<"torch.distributed.elastic.multiprocessing.errors", "ChildFailedError">())) throw;
        const py::tuple first = vk::call_method<"get_first_failure">(e.value());
        const py::object failure = first[1];
        fail("training failed on rank " + str(first[0]) + " of " + std::to_string(nproc) + " (exit code " +
             str(vk::attr<"exitcode">(failure)) + "); `velkor train " + str(vk::attr<"config">(args)) +
             " --resume` continues after the last finished epoch");
    }
    return 0;
}

}  // namespace velkor_cli
