// Data-parallel runs: what the trainers and the command line ask of torch.distributed's default
// process group. Without a group (one process) every helper is the identity or does nothing, so a
// single process runs exactly as it always has.
#pragma once

#include <vk/common.hpp>

#include <string>
#include <vector>

namespace vkdomain {

namespace py = pybind11;

// The processes of the run and this one's place among them.
struct World {
    bool group = false;  // a process group is initialized
    long long size = 1, rank = 0;
    // Rank 0 alone writes files, plots, tracking and the printed reports.
    bool writes() const { return rank == 0; }
};

inline py::handle torch_distributed() { return vk::imported<"torch.distributed">(); }

inline World world() {
    const py::handle dist = torch_distributed();
    World w;
    if (!vk::truthy(vk::call(vk::attr<"is_available">(dist))) || !vk::truthy(vk::call(vk::attr<"is_initialized">(dist)))) return w;
    w.group = true;
    w.size = py::cast<long long>(vk::call(vk::attr<"get_world_size">(dist)));
    w.rank = py::cast<long long>(vk::call(vk::attr<"get_rank">(dist)));
    return w;
}

// Every process waits here until all have arrived (after rank 0 finished writing, for instance).
inline void barrier() {
    if (world().group) vk::call(vk::attr<"barrier">(torch_distributed()));
}

// Collectives of NCCL run on CUDA tensors, those of gloo on CPU ones.
inline py::object collective_device() {
    const std::string backend = py::str(vk::call(vk::attr<"get_backend">(torch_distributed())));
    return py::str(backend == "nccl" ? "cuda" : "cpu");
}

// Element-wise sums over all processes (float64, one collective); the values as they are alone.
inline std::vector<double> sum_over_ranks(const std::vector<double>& values) {
    if (!world().group) return values;
    py::list items;
    for (const double v : values) items.append(py::float_(v));
    const py::object t = vk::call(vk::imported<"torch", "tensor">(), items, vk::kw<"dtype">(vk::imported<"torch", "float64">()),
                                  vk::kw<"device">(collective_device()));
    vk::call(vk::attr<"all_reduce">(torch_distributed()), t);
    const py::list summed = vk::call_method<"tolist">(t);
    if (summed.size() != values.size()) throw std::runtime_error("all_reduce returned a different number of values");
    std::vector<double> out;
    for (const py::handle v : summed) out.push_back(py::cast<double>(v));
    return out;
}

// The lists of all processes, rank by rank, joined into one (each process gets the whole).
inline py::list gather_lists(const py::list& mine) {
    const World w = world();
    if (!w.group) return mine;
    py::list parts;
    for (long long r = 0; r < w.size; ++r) parts.append(py::none());
    vk::call(vk::attr<"all_gather_object">(torch_distributed()), parts, mine);
    py::list out;
    for (const py::handle part : parts)
        for (const py::handle item : py::iter(part)) out.append(item);
    return out;
}

// Rank 0's value on every process.
inline py::object from_rank0(py::object value) {
    if (!world().group) return value;
    py::list box;
    box.append(value);
    vk::call(vk::attr<"broadcast_object_list">(torch_distributed()), box, vk::kw<"src">(0));
    return box[0];
}

}  // namespace vkdomain
