// Where a partition's features live: in memory, one block holding every utterance's kept
// features (FeatureBlock); memory-mapped, the feature files themselves (MappedFeatures).
// Either way the dataset's `feats` holds (rows, frames) NumPy arrays of the stored float
// type, and the object behind them decides what a pickled dataset carries.
//
// FeatureBlock: the arrays are C-ordered views of one block, each at a 64-byte boundary.
// Pickled by value (pickle.dumps, copy.deepcopy) it carries the block's bytes. Pickled by
// multiprocessing's pickler, which starts spawn and forkserver DataLoader workers, it carries
// a descriptor of shared memory instead: the first time, the block moves into shared memory
// (same address, same bytes) and every worker maps that memory copy-on-write, so no worker
// receives or holds a copy of the features. Fork workers inherit the block as before.
//
// MappedFeatures: item i maps feature file i and returns a read-only array viewing the
// file's pages, unmapped when the array goes; nothing is read until the array is. It holds
// the file names and their layouts (checked when the dataset was built), so it pickles as
// references and maps the files again wherever it is unpickled. Each access reads the header
// again, and a file whose header or size changed since is refused with ValueError (its pages
// are never touched, so a shortened file cannot fault the reader). Files that cannot be
// viewed as stored, native float arrays (the other byte order, or data not aligned to its
// element size) are read into memory instead.
#pragma once

#include "quenmark_loading.hpp"

#include "memory.hpp"

#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace quenmark {

// ---------------------------------------------------------------------------
// Arrays over memory that C++ owns
// ---------------------------------------------------------------------------

// A capsule that deletes `owner` when it goes: what keeps the memory behind an array alive.
template <typename Owner>
nb::capsule owning(Owner *owner) {
    return nb::capsule(owner, [](void *p) noexcept { delete static_cast<Owner *>(p); });
}

// A (rows, cols) NumPy array of `bits`-bit floats at `data`, with element strides, kept
// alive by `owner` (deleted when the array goes).
template <typename Owner>
nb::object float_array(const void *data, int64_t rows, int64_t cols, int64_t row_stride, int64_t col_stride,
                       int bits, Owner *owner, bool read_only) {
    nb::capsule handle = owning(owner);
    size_t shape[2] = {size_t(rows), size_t(cols)};
    int64_t strides[2] = {row_stride, col_stride};
    nb::dlpack::dtype dt{uint8_t(nb::dlpack::dtype_code::Float), uint8_t(bits), 1};
    if (read_only) return nb::ndarray<nb::numpy, nb::ro>(data, 2, shape, handle, strides, dt).cast();
    return nb::ndarray<nb::numpy>(const_cast<void *>(data), 2, shape, handle, strides, dt).cast();
}

// A read-only int64 NumPy array of the given shape holding `values`.
inline nb::object int64_array(const std::vector<int64_t> &values, std::initializer_list<size_t> shape) {
    auto *copy = new std::vector<int64_t>(values);
    return nb::ndarray<nb::numpy, nb::ro, const int64_t>(copy->data(), shape, owning(copy)).cast();
}

using Table = nb::ndarray<nb::ro, const int64_t, nb::ndim<2>, nb::c_contig, nb::device::cpu>;

// A view of an int64 table of `cols` columns (an array from int64_array, or one unpickled
// from it), checked to be that shape.
inline Table table_view(nb::handle table, size_t cols, const char *what) {
    Table t;
    if (!nb::try_cast(table, t, false) || t.shape(1) != cols) {
        PyErr_Clear();
        ql::raise_value_error(std::string(what) + " must be an int64 array of " + std::to_string(cols) + " columns");
    }
    return t;
}

// ---------------------------------------------------------------------------
// FeatureBlock
// ---------------------------------------------------------------------------

using Block = std::shared_ptr<ql::MemoryBlock>;

// One array in the block: offset in bytes, rows, frames, bits per value.
struct Slot {
    int64_t offset = 0, rows = 0, cols = 0, bits = 0;
    size_t bytes() const { return size_t(rows) * size_t(cols) * size_t(bits / 8); }
};
constexpr size_t kSlotFields = 4;
constexpr size_t kSlotAlignment = 64;

// The FeatureBlock class, made when the module is initialised.
inline nb::handle feature_block_class;

inline nb::object slot_array(const Block &block, const Slot &s) {
    return float_array(block->data() + s.offset, s.rows, s.cols, s.cols, 1, int(s.bits), new Block(block), false);
}

// A FeatureBlock over `block` with one array per slot.
inline nb::object make_feature_block(Block block, const std::vector<Slot> &slots) {
    nb::object out = feature_block_class.attr("__new__")(feature_block_class);
    std::vector<int64_t> layout;
    nb::object arrays = ql::steal_checked(PyTuple_New(Py_ssize_t(slots.size())));
    for (size_t i = 0; i < slots.size(); ++i) {
        const Slot &s = slots[i];
        layout.insert(layout.end(), {s.offset, s.rows, s.cols, s.bits});
        PyTuple_SET_ITEM(arrays.ptr(), Py_ssize_t(i), slot_array(block, s).release().ptr());
    }
    out.attr("layout") = int64_array(layout, {slots.size(), kSlotFields});
    out.attr("arrays") = arrays;
    out.attr("_block") = owning(new Block(std::move(block)));
    return out;
}

inline Block block_of(nb::handle feature_block) {
    nb::capsule c = nb::borrow<nb::capsule>(feature_block.attr("_block"));
    return *static_cast<Block *>(c.data());
}

// The slots of a pickled layout, checked to lie inside a block of `size` bytes.
inline std::vector<Slot> read_slots(nb::handle layout, uint64_t size) {
    const Table t = table_view(layout, kSlotFields, "a FeatureBlock layout");
    std::vector<Slot> slots(t.shape(0));
    for (size_t i = 0; i < slots.size(); ++i) {
        Slot &s = slots[i];
        s = {t(i, 0), t(i, 1), t(i, 2), t(i, 3)};
        const bool sane = s.offset >= 0 && s.rows >= 0 && s.cols >= 0 && (s.bits == 16 || s.bits == 32 || s.bits == 64) &&
                          (s.cols == 0 || s.rows <= int64_t(size) / s.cols) && uint64_t(s.offset) <= size &&
                          s.bytes() <= size - uint64_t(s.offset);
        if (!sane) ql::raise_value_error("a FeatureBlock layout names memory outside its block");
    }
    return slots;
}

const char *const kBlockReduceSig = "__reduce__(self)";
inline nb::object block_reduce(const ql::Args &a) {
    nb::handle self = a.self();
    Block block = block_of(self);
    size_t shape[1] = {block->size()};
    nb::object bytes = nb::ndarray<nb::numpy, nb::ro, const uint8_t>(block->data(), 1, shape, owning(new Block(block))).cast();
    return nb::make_tuple(globals["_feature_block_from_bytes"], nb::make_tuple(self.attr("layout"), bytes));
}

const char *const kFromBytesSig = "_feature_block_from_bytes(layout, data)";
inline nb::object block_from_bytes(const ql::Args &a) {
    nb::ndarray<nb::ro, const uint8_t, nb::ndim<1>, nb::c_contig, nb::device::cpu> data;
    if (!nb::try_cast(a["data"], data, false)) {
        PyErr_Clear();
        ql::raise_value_error("a FeatureBlock's data must be a one-dimensional uint8 array");
    }
    const std::vector<Slot> slots = read_slots(a["layout"], data.shape(0));
    Block block = std::make_shared<ql::MemoryBlock>(data.shape(0));
    if (data.shape(0)) std::memcpy(block->data(), data.data(), data.shape(0));
    return make_feature_block(std::move(block), slots);
}

// How multiprocessing's pickler sends a FeatureBlock to a new process: a descriptor of the
// shared memory holding it, or its bytes where there is no shared memory to be had.
const char *const kForWorkerSig = "_feature_block_for_worker(block)";
inline nb::object block_for_worker(const ql::Args &a) {
    nb::handle self = a["block"];
    Block block = block_of(self);
    const int fd = block->share();
    if (fd < 0) return self.attr("__reduce__")();
    nb::object dup = ql::import_attr("multiprocessing.reduction", "DupFd")(fd);
    return nb::make_tuple(globals["_feature_block_from_shared"],
                          nb::make_tuple(dup, ql::py_int((long long)block->size()), self.attr("layout")));
}

const char *const kFromSharedSig = "_feature_block_from_shared(fd, size: int, layout)";
inline nb::object block_from_shared(const ql::Args &a) {
    const long long size = a.to_int("size");
    if (size < 0) ql::raise_value_error("a FeatureBlock cannot have a negative size");
    const std::vector<Slot> slots = read_slots(a["layout"], uint64_t(size));
    const int fd = int(ql::as_long(a["fd"].attr("detach")()));
    Block block = std::make_shared<ql::MemoryBlock>(fd, size_t(size));
    return make_feature_block(std::move(block), slots);
}

// Whether `feats` still holds exactly the block's arrays (a list the user changed is
// pickled as it is).
inline bool holds_block_arrays(nb::handle feats, nb::handle feature_block) {
    if (!PyList_Check(feats.ptr())) return false;
    nb::object arrays = feature_block.attr("arrays");
    const Py_ssize_t n = PyList_GET_SIZE(feats.ptr());
    if (!PyTuple_Check(arrays.ptr()) || PyTuple_GET_SIZE(arrays.ptr()) != n) return false;
    for (Py_ssize_t i = 0; i < n; ++i)
        if (PyList_GET_ITEM(feats.ptr(), i) != PyTuple_GET_ITEM(arrays.ptr(), i)) return false;
    return true;
}

// ---------------------------------------------------------------------------
// MappedFeatures
// ---------------------------------------------------------------------------

constexpr size_t kLayoutFields = 7;

inline void append_layout(std::vector<int64_t> &table, const FeatureLayout &l) {
    table.insert(table.end(), {int64_t(l.data_offset), l.file_rows, l.cols, l.rows, l.bits, l.fortran, l.swap});
}

inline FeatureLayout layout_at(const Table &table, size_t i) {
    const int64_t *r = table.data() + i * kLayoutFields;
    FeatureLayout l;
    l.data_offset = uint64_t(r[0]);
    l.file_rows = r[1];
    l.cols = r[2];
    l.rows = r[3];
    l.bits = int(r[4]);
    l.fortran = r[5] != 0;
    l.swap = r[6] != 0;
    return l;
}

// The kept features of the file at `path`, whose layout must still be `expected`: a view of
// its pages, or a copy where the stored values cannot be viewed as they are.
inline nb::object map_features(const std::string &path, const FeatureLayout &expected) {
    if (expected.rows < 0) throw npy::FormatError("a layout with a negative row count");
    npy::File file(path);
    const npy::Header h = file.read_header();
    const FeatureLayout l = feature_layout(file, h, expected.rows);
    if (l != expected) throw npy::FormatError("the file changed since the dataset was built");
    if (l.swap || l.data_offset % l.item_bytes() != 0) {
        auto *copy = new std::vector<unsigned char>(std::max<size_t>(l.kept_bytes(), 1));
        std::unique_ptr<std::vector<unsigned char>> guard(copy);
        npy::read_leading_rows(file, h, l.rows, copy->data());
        guard.release();
        return float_array(copy->data(), l.rows, l.cols, l.cols, 1, l.bits, copy, true);
    }
    const size_t bytes = size_t(l.file_rows) * size_t(l.cols) * l.item_bytes();
    auto *view = new ql::FileView(file.fd(), l.data_offset, l.fortran ? bytes : l.kept_bytes());
    return l.fortran ? float_array(view->data(), l.rows, l.cols, 1, l.file_rows, l.bits, view, true)
                     : float_array(view->data(), l.rows, l.cols, l.cols, 1, l.bits, view, true);
}

// The MappedFeatures class, made when the module is initialised.
inline nb::handle mapped_features_class;

// A MappedFeatures over the feature files `files` with the given layouts.
inline nb::object make_mapped_features(nb::list files, const std::vector<FeatureLayout> &layouts) {
    std::vector<int64_t> table;
    table.reserve(layouts.size() * kLayoutFields);
    for (const FeatureLayout &l : layouts) append_layout(table, l);
    nb::object out = mapped_features_class.attr("__new__")(mapped_features_class);
    out.attr("files") = files;
    out.attr("layout") = int64_array(table, {layouts.size(), kLayoutFields});
    return out;
}

// Item i of a MappedFeatures, raising ValueError or OSError naming the file.
inline nb::object mapped_item(nb::handle files, const Table &table, size_t i) {
    nb::object path = files[i];
    nb::object out;
    LoadError error;
    record_failure(error, [&] { out = map_features(fs_path(path), layout_at(table, i)); });
    if (error.kind != LoadError::Kind::None) raise_load_error(error, path, nb::none());
    return out;
}

const char *const kMappedInitSig = "__init__(self, files: list, layout)";
inline nb::object mapped_init(const ql::Args &a) {
    nb::handle self = a.self();
    const Table table = table_view(a["layout"], kLayoutFields, "MappedFeatures layout");
    if (table.shape(0) != nb::len(a["files"]))
        ql::raise_value_error("MappedFeatures needs one layout row per file");
    self.attr("files") = a["files"];
    self.attr("layout") = a["layout"];
    return nb::none();
}

const char *const kMappedLenSig = "__len__(self)";
inline nb::object mapped_len(const ql::Args &a) {
    return ql::py_int((long long)nb::len(nb::object(a.self().attr("files"))));
}

const char *const kMappedGetItemSig = "__getitem__(self, index)";
inline nb::object mapped_getitem(const ql::Args &a) {
    nb::handle self = a.self(), index = a["index"];
    nb::object files = self.attr(QL_ID("files"));
    nb::object layout = self.attr(QL_ID("layout"));
    const Table table = table_view(layout, kLayoutFields, "MappedFeatures layout");
    const Py_ssize_t n = Py_ssize_t(std::min(table.shape(0), nb::len(files)));
    if (PySlice_Check(index.ptr())) {
        Py_ssize_t start, stop, step;
        ql::check(PySlice_Unpack(index.ptr(), &start, &stop, &step) == 0);
        const Py_ssize_t count = PySlice_AdjustIndices(n, &start, &stop, step);
        nb::list out;
        for (Py_ssize_t k = 0; k < count; ++k) out.append(mapped_item(files, table, size_t(start + k * step)));
        return out;
    }
    Py_ssize_t i = PyNumber_AsSsize_t(index.ptr(), PyExc_IndexError);
    if (i == -1 && PyErr_Occurred()) throw nb::python_error();
    if (i < 0) i += n;
    if (i < 0 || i >= n) ql::raise(PyExc_IndexError, "MappedFeatures index out of range");
    return mapped_item(files, table, size_t(i));
}

const char *const kMappedReprSig = "__repr__(self)";
inline nb::object mapped_repr(const ql::Args &a) {
    return nb::str(("MappedFeatures(" + std::to_string(nb::len(nb::object(a.self().attr("files")))) + " files)").c_str());
}

const char *const kMappedDoc =
    R"doc(The features of a memory-mapped partition: a read-only sequence whose item i is a
(rows, frames) read-only NumPy array viewing feature file i (the kept rows, of the stored
float type). A file is mapped when its item is taken and unmapped when the array goes, so
resident memory holds only what is in use; the header is checked again at each access.
Pickles as the file names and their layouts, not the data.)doc";

const char *const kBlockDoc =
    R"doc(The features of a partition kept in memory: one block, and a (rows, frames) NumPy array
viewing each utterance's part of it (`arrays`). Pickled it carries the block's bytes; sent to
a process that multiprocessing starts (spawn and forkserver DataLoader workers) it carries a
descriptor of shared memory that every such process maps, instead of a copy.)doc";

}  // namespace quenmark
