// Length-bucketing batch sampler for the speech dataset: utterances of similar length share a
// batch, so batches carry little padding and the recurrent front-end runs on even lengths.
//
// Each epoch the utterances are sorted by frame count (equal lengths in random order), cut into
// buckets of a few batches whose members are shuffled among themselves, cut into batches, and the
// batches are served in random order. Every utterance appears exactly once per epoch.
#include <vk/common.hpp>
#include <vk/host_tensor.hpp>

#include <pybind11/stl.h>

#include <algorithm>
#include <cstdint>
#include <numeric>
#include <vector>

namespace {

namespace py = pybind11;
using vk::as_index;
using vk::kw;

long long positive(long long v, const char* arg) {
    if (v <= 0) throw py::value_error(vk::text(arg, " must be a positive integer, got ", v));
    return v;
}

// Frame counts of the dataset's utterances (the second axis of each stored feature array); a
// Subset is measured through the dataset it views.
std::vector<long long> dataset_lengths(py::handle dataset) {
    if (!vk::has_attr<"feats">(dataset)) {
        if (vk::has_attr<"dataset">(dataset) && vk::has_attr<"indices">(dataset)) {
            const std::vector<long long> all = dataset_lengths(vk::attr<"dataset">(dataset));
            std::vector<long long> out;
            for (const py::handle i : vk::attr<"indices">(dataset)) {
                long long k = as_index(i);
                if (k < 0) k += static_cast<long long>(all.size());
                if (k < 0 || k >= static_cast<long long>(all.size()))
                    throw py::index_error(
                        vk::text("Subset index ", as_index(i), " is out of range for ", static_cast<long long>(all.size()), " utterances"));
                out.push_back(all[static_cast<std::size_t>(k)]);
            }
            return out;
        }
        throw py::type_error("dataset must hold feature arrays in 'feats' (an ASRDataset or a Subset of one), or lengths must be given");
    }
    std::vector<long long> out;
    for (const py::handle features : vk::attr<"feats">(dataset)) {
        const py::tuple shape = py::reinterpret_borrow<py::tuple>(vk::attr<"shape">(features));
        if (shape.size() != 2)
            throw py::value_error(vk::text("feature arrays must be 2-dimensional (num_feats, frames), got ", shape.size(), " dimensions"));
        out.push_back(as_index(shape[1]));
    }
    return out;
}

std::vector<long long> given_lengths(py::handle lengths) {
    std::vector<long long> out;
    for (const py::handle v : lengths) {
        const long long n = vk::exact_int(v, "lengths");
        if (n < 0) throw py::value_error(vk::text("lengths must not be negative, got ", n));
        out.push_back(n);
    }
    return out;
}

struct Sizes {
    std::vector<long long> lengths;
    long long batch_size, bucket_batches;
    bool shuffle, drop_last;
};

// The lengths are kept as a tuple on the instance; reading them back checks nothing was replaced
// by something of another size.
Sizes read_sizes(py::handle self) {
    Sizes s;
    for (const py::handle v : vk::attr<"lengths">(self)) s.lengths.push_back(as_index(v));
    s.batch_size = positive(as_index(vk::attr<"batch_size">(self)), "batch_size");
    s.bucket_batches = positive(as_index(vk::attr<"bucket_batches">(self)), "bucket_batches");
    s.shuffle = vk::truthy(vk::attr<"shuffle">(self));
    s.drop_last = vk::truthy(vk::attr<"drop_last">(self));
    return s;
}

long long batch_count(const Sizes& s) {
    const auto n = static_cast<long long>(s.lengths.size());
    return s.drop_last ? n / s.batch_size : (n + s.batch_size - 1) / s.batch_size;
}

// A permutation of 0..n-1 drawn from torch's generator (so seeds behave as torch users expect).
std::vector<long long> permutation(long long n, py::handle generator) {
    std::vector<long long> out(static_cast<std::size_t>(n));
    if (n == 0) return out;
    const vk::HostValues host(vk::call(vk::imported<"torch", "randperm">(), n, kw<"generator">(generator)));
    if (host.size() != out.size()) throw std::runtime_error("randperm returned an unexpected size");
    for (std::size_t i = 0; i < out.size(); ++i) {
        out[i] = host.integer(i);
        if (out[i] < 0 || out[i] >= n) throw std::runtime_error("randperm returned an index out of range");
    }
    return out;
}

std::vector<std::vector<long long>> epoch_batches(const Sizes& s, long long seed, long long epoch) {
    const auto n = static_cast<long long>(s.lengths.size());
    std::vector<long long> order(static_cast<std::size_t>(n));
    std::iota(order.begin(), order.end(), 0LL);
    py::object generator = py::none();
    if (s.shuffle) {
        generator = vk::call(vk::imported<"torch", "Generator">());
        vk::call_method<"manual_seed">(generator, seed + epoch);
        order = permutation(n, generator);
    }
    std::stable_sort(order.begin(), order.end(), [&](long long a, long long b) {
        return s.lengths[static_cast<std::size_t>(a)] < s.lengths[static_cast<std::size_t>(b)];
    });
    if (s.shuffle) {
        const long long bucket = s.batch_size * s.bucket_batches;
        for (long long start = 0; start < n; start += bucket) {
            const long long size = std::min(bucket, n - start);
            const std::vector<long long> p = permutation(size, generator);
            std::vector<long long> members(order.begin() + start, order.begin() + start + size);
            for (long long j = 0; j < size; ++j)
                order[static_cast<std::size_t>(start + j)] = members[static_cast<std::size_t>(p[static_cast<std::size_t>(j)])];
        }
    }
    std::vector<std::vector<long long>> batches;
    const long long count = batch_count(s);
    for (long long b = 0; b < count; ++b) {
        const long long start = b * s.batch_size;
        const long long end = std::min(start + s.batch_size, n);
        batches.emplace_back(order.begin() + start, order.begin() + end);
    }
    if (s.shuffle) {
        const std::vector<long long> p = permutation(count, generator);
        std::vector<std::vector<long long>> shuffled(batches.size());
        for (std::size_t i = 0; i < shuffled.size(); ++i) shuffled[i] = std::move(batches[static_cast<std::size_t>(p[i])]);
        batches = std::move(shuffled);
    }
    return batches;
}

using InitArgs = vk::Args<"dataset, batch_size, shuffle=True, drop_last=False, seed=0, bucket_batches=4, lengths=None">;
py::object init(py::handle self, const InitArgs& a) {
    const long long batch_size = positive(a.integer<"batch_size">(), "batch_size");
    const long long bucket_batches = positive(a.integer<"bucket_batches">(), "bucket_batches");
    const long long seed = a.integer<"seed">();
    const std::vector<long long> lengths = a.is_none<"lengths">() ? dataset_lengths(a.get<"dataset">()) : given_lengths(a.get<"lengths">());
    vk::set_attr<"dataset">(self, a.get<"dataset">());
    vk::set_attr<"batch_size">(self, py::int_(batch_size));
    vk::set_attr<"shuffle">(self, py::bool_(a.flag<"shuffle">()));
    vk::set_attr<"drop_last">(self, py::bool_(a.flag<"drop_last">()));
    vk::set_attr<"seed">(self, py::int_(seed));
    vk::set_attr<"bucket_batches">(self, py::int_(bucket_batches));
    vk::set_attr<"lengths">(self, py::tuple(py::cast(lengths)));
    vk::set_attr<"epoch">(self, py::int_(0));
    return py::none();
}

py::object iter(py::handle self, const vk::Args<"">&) {
    const Sizes sizes = read_sizes(self);
    const long long epoch = as_index(vk::attr<"epoch">(self));
    const auto batches = epoch_batches(sizes, as_index(vk::attr<"seed">(self)), epoch);
    vk::set_attr<"epoch">(self, py::int_(epoch + 1));
    py::list out(batches.size());
    for (std::size_t i = 0; i < batches.size(); ++i) out[i] = py::cast(batches[i]);
    return py::reinterpret_steal<py::object>(PyObject_GetIter(out.ptr()));
}

py::object len(py::handle self, const vk::Args<"">&) { return py::int_(batch_count(read_sizes(self))); }

py::object set_epoch(py::handle self, const vk::Args<"epoch">& a) {
    vk::set_attr<"epoch">(self, py::int_(a.integer<"epoch">()));
    return py::none();
}

constexpr vk::Def kInit{"__init__", init};
constexpr vk::Def kIter{"__iter__", iter, "Yields this epoch's batches (lists of dataset indices), then advances the epoch."};
constexpr vk::Def kLen{"__len__", len, "Number of batches per epoch."};
constexpr vk::Def kSetEpoch{"set_epoch", set_epoch, "Sets the epoch whose order the next iteration yields (seed + epoch draws it)."};

}  // namespace

PYBIND11_MODULE(sampler, m) {
    m.doc() = "Length-bucketing batch sampler for the speech dataset.";
    vk::define_class<kInit, kIter, kLen, kSetEpoch>(
        m, "LengthBucketSampler", vk::imported<"torch.utils.data", "Sampler">(),
        "Batch sampler over an ASRDataset (or a Subset of one) that puts utterances of similar length together:\n"
        "DataLoader(dataset, batch_sampler=LengthBucketSampler(dataset, 16), collate_fn=dataset.collate_fn).\n"
        "Lengths are the utterances' frame counts, or the given lengths. Each epoch sorts by length (ties in random\n"
        "order), shuffles within buckets of bucket_batches batches, and serves the batches in random order; with\n"
        "shuffle false, batches come in increasing length. Every utterance appears once per epoch (the last, shorter\n"
        "batch is dropped with drop_last). Epoch e draws its order from seed + e; iterating advances the epoch.");
}
