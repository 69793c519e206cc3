#include "array_input/borrow_registry.hpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numeric>
#include <optional>
#include <string>
#include <tuple>
#include <unordered_map>
#include <vector>

#include "binding/arguments.hpp"
#include "binding/fault.hpp"
#include "array_input/numpy_api.hpp"
#include "binding/once_cell.hpp"

namespace larkspur::array_input {
namespace {

using binding::fetch_or_system_error;
using binding::InternalFault;
using binding::OnceCell;
using binding::OwnedRef;
using binding::PendingError;
using binding::Result;

using KeyCounts = std::unordered_map<BorrowKey, std::intptr_t, BorrowKeyHash>;

// The borrows of one base address. Shared borrows never conflict with one
// another, so a shared request only needs the exclusive keys: they are kept
// apart (every one of them is also in `counts`, with count -1), and a shared
// acquire or release costs two hash lookups however many views of the
// buffer are shared. An exclusive request still checks every key.
struct BaseBorrows {
    KeyCounts counts;
    std::vector<BorrowKey> exclusive;
};

// The maps use the default allocator, not a std::pmr pool: statically linked
// into a Linux wheel, std::pmr's memory_resource.o references the GLIBC_2.34
// pthread key and rwlock functions, and macOS's libc++ has it only from
// macOS 14. The lock is CPython's PyMutex (3.13): one byte, zero-initialised,
// nothing from the C++ runtime, never contended while every caller holds the
// interpreter lock. CPython 3.12, built only for the NumPy 1.x check, has no
// PyMutex and takes std::mutex.
//
// Without the interpreter lock, threads calling the class on short series
// meet here twice a call, and the lock is held for a few hash operations
// (a fraction of a microsecond). A contended PyMutex retries with
// sched_yield, a system call each time: at n = 250 two threads then ran no
// faster than one. So a waiter first spins, pausing, while `held` says the
// lock is taken (bounded: a holder that was descheduled is left to
// PyMutex_Lock's parking). `held` is advice only: PyMutex alone decides who
// holds the lock.
#if PY_VERSION_HEX >= 0x030D0000
struct RegistryMutex {
    PyMutex mutex{};
    std::atomic<bool> held{false};
};
constexpr int registry_spin_limit = 128;
void lock_registry(RegistryMutex& lock) noexcept {
    for (int spin = 0; spin < registry_spin_limit && lock.held.load(std::memory_order_relaxed); ++spin) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#elif defined(__aarch64__)
        asm volatile("yield");
#endif
    }
    PyMutex_Lock(&lock.mutex);
    lock.held.store(true, std::memory_order_relaxed);
}
void unlock_registry(RegistryMutex& lock) noexcept {
    lock.held.store(false, std::memory_order_relaxed);
    PyMutex_Unlock(&lock.mutex);
}
#else
using RegistryMutex = std::mutex;
void lock_registry(RegistryMutex& mutex) { mutex.lock(); }
void unlock_registry(RegistryMutex& mutex) noexcept { mutex.unlock(); }
#endif

struct BorrowRegistry {
    RegistryMutex lock{};
    std::unordered_map<PyObject*, BaseBorrows> borrows;
};

// Holds the registry lock for one scope.
class RegistryLock {
public:
    explicit RegistryLock(BorrowRegistry& registry) : lock_(registry.lock) { lock_registry(lock_); }
    ~RegistryLock() { unlock_registry(lock_); }
    RegistryLock(const RegistryLock&) = delete;
    RegistryLock& operator=(const RegistryLock&) = delete;

private:
    RegistryMutex& lock_;
};

// The creator's private block: the public record first, then what the
// capsule destructor must free.
struct CapsuleBlock {
    SharedBorrowApi api;
    BorrowRegistry* registry;
    char* name;
};

[[noreturn]] void broken_invariant(const char* what) noexcept {
    std::fprintf(stderr, "larkspur borrow registry: broken invariant: %s\n", what);
    std::fflush(stderr);
    std::abort();
}

std::intptr_t non_negative_gcd(std::intptr_t a, std::intptr_t b) noexcept {
    return static_cast<std::intptr_t>(std::gcd(a, b));  // std::gcd is |.|-based, gcd(0, x) = |x|
}

// Where a view's borrows are recorded; computed before the lock is taken.
struct ViewLocation {
    PyObject* base;
    BorrowKey key;
};

ViewLocation locate(PyObject* array) {
    return ViewLocation{base_address(BorrowedRef(array)), borrow_key(BorrowedRef(array))};
}

// First borrow under a base address: its map is sized for one key.
int register_new_base(BorrowRegistry& registry, const ViewLocation& view, std::intptr_t count) {
    BaseBorrows& record = registry.borrows.try_emplace(view.base).first->second;
    record.counts.reserve(1);
    record.counts.emplace(view.key, count);
    if (count < 0) record.exclusive.push_back(view.key);
    return 0;
}

int registry_acquire(void* state, PyObject* array) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const ViewLocation view = locate(array);
    const BorrowKey& key = view.key;
    const RegistryLock guard(registry);
    auto found = registry.borrows.find(view.base);
    if (found == registry.borrows.end()) return register_new_base(registry, view, 1);
    BaseBorrows& record = found->second;
    if (auto entry = record.counts.find(key); entry != record.counts.end()) {
        const auto next = static_cast<std::intptr_t>(static_cast<std::uintptr_t>(entry->second) + 1U);
        if (next <= 0) return -1;  // exclusively borrowed, or the count would wrap
        entry->second = next;
        return 0;
    }
    for (const BorrowKey& other : record.exclusive) {
        if (conflicts(key, other)) return -1;
    }
    record.counts.emplace(key, 1);
    return 0;
}

int registry_acquire_mut(void* state, PyObject* array) {
    if ((array_fields(BorrowedRef(array))->flags & npy_array_writeable) == 0) return -2;
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const ViewLocation view = locate(array);
    const BorrowKey& key = view.key;
    const RegistryLock guard(registry);
    auto found = registry.borrows.find(view.base);
    if (found == registry.borrows.end()) return register_new_base(registry, view, -1);
    BaseBorrows& record = found->second;
    if (record.counts.contains(key)) return -1;
    for (const auto& [other, count] : record.counts) {
        if (count != 0 && conflicts(key, other)) return -1;
    }
    record.counts.emplace(key, -1);
    record.exclusive.push_back(key);
    return 0;
}

void registry_release(void* state, PyObject* array) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const ViewLocation view = locate(array);
    const BorrowKey& key = view.key;
    const RegistryLock guard(registry);
    auto found = registry.borrows.find(view.base);
    if (found == registry.borrows.end()) broken_invariant("release of an unregistered base");
    KeyCounts& counts = found->second.counts;
    auto entry = counts.find(key);
    if (entry == counts.end()) broken_invariant("release of an unregistered view");
    if (entry->second == 0) broken_invariant("stored borrow count of 0");
    entry->second -= 1;
    if (entry->second == 0) {
        if (counts.size() < 2) {
            registry.borrows.erase(found);
        } else {
            counts.erase(entry);
        }
    }
}

void registry_release_mut(void* state, PyObject* array) {
    auto& registry = *static_cast<BorrowRegistry*>(state);
    const ViewLocation view = locate(array);
    const RegistryLock guard(registry);
    auto found = registry.borrows.find(view.base);
    if (found == registry.borrows.end()) broken_invariant("exclusive release of an unregistered base");
    BaseBorrows& record = found->second;
    if (record.counts.size() < 2) {
        registry.borrows.erase(found);
        return;
    }
    if (record.counts.erase(view.key) == 0) broken_invariant("exclusive release of an unregistered view");
    // A release_mut of a view borrowed shared (a client's mistake) removes the
    // key as before; it then has no exclusive entry to drop.
    if (const auto kept = std::ranges::find(record.exclusive, view.key); kept != record.exclusive.end()) {
        *kept = record.exclusive.back();
        record.exclusive.pop_back();
    }
}

void destroy_capsule(PyObject* capsule) {
    auto* block = static_cast<CapsuleBlock*>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
    if (block == nullptr) {
        PyErr_Clear();
        return;
    }
    delete block->registry;
    delete[] block->name;
    delete block;
}

// Publishes a new registry's capsule on the module unless another
// participant (another thread, or another module with its own copy of this
// code) published one first; returns the capsule that is published in the
// end. Insert-if-absent on the module's dictionary is atomic on free-threaded
// builds too, so two creators can never leave two registries in use. A
// losing capsule is dropped, which frees its block.
Result<OwnedRef> publish_capsule(BorrowedRef module, OwnedRef capsule) {
#if PY_VERSION_HEX >= 0x030D0000
    PyObject* dictionary = PyModule_GetDict(module.get());  // borrowed
    if (dictionary == nullptr) return std::unexpected(fetch_or_system_error());
    const OwnedRef key = binding::expect_object(PyUnicode_FromString(borrow_capsule_name));
    PyObject* published = nullptr;
    if (PyDict_SetDefaultRef(dictionary, key.get(), capsule.get(), &published) < 0) {
        return std::unexpected(fetch_or_system_error());
    }
    return OwnedRef::steal(published);
#else
    if (PyObject_SetAttrString(module.get(), borrow_capsule_name, capsule.get()) < 0) {
        return std::unexpected(fetch_or_system_error());
    }
    return capsule;
#endif
}

Result<OwnedRef> create_registry_capsule(BorrowedRef module) {
    auto* block = new CapsuleBlock{};
    block->registry = new BorrowRegistry();
    block->name = new char[sizeof borrow_capsule_name];
    std::memcpy(block->name, borrow_capsule_name, sizeof borrow_capsule_name);
    block->api = SharedBorrowApi{
        1, block->registry, registry_acquire, registry_acquire_mut, registry_release, registry_release_mut};
    OwnedRef capsule = OwnedRef::steal(PyCapsule_New(block, block->name, destroy_capsule));
    if (!capsule) {
        delete block->registry;
        delete[] block->name;
        delete block;
        return std::unexpected(fetch_or_system_error());
    }
    return publish_capsule(module, std::move(capsule));
}

Result<const SharedBorrowApi*> set_up_registry() {
    auto module_name = multiarray_module_name();
    if (!module_name) return std::unexpected(std::move(module_name.error()));
    auto module = import_module(*module_name);
    if (!module) return std::unexpected(std::move(module.error()));
    OwnedRef capsule = OwnedRef::steal(PyObject_GetAttrString(module->get(), borrow_capsule_name));
    if (!capsule) {
        PyErr_Clear();  // no registry yet: this module creates it
        auto created = create_registry_capsule(module->borrow());
        if (!created) return std::unexpected(std::move(created.error()));
        capsule = std::move(*created);
    }
    if (!Py_IS_TYPE(capsule.get(), &PyCapsule_Type)) {
        return std::unexpected(binding::conversion_error(capsule.borrow(), "PyCapsule"));
    }
    const char* name = PyCapsule_GetName(capsule.get());
    if (name == nullptr) PyErr_Clear();
    void* pointer = PyCapsule_GetPointer(capsule.get(), name);
    if (pointer == nullptr) PyErr_Clear();
    std::uint64_t version = 0;
    if (pointer != nullptr) std::memcpy(&version, pointer, sizeof version);
    if (version == 0) {
        return std::unexpected(PendingError::with_message(
            PyExc_TypeError, "version " + std::to_string(version) +
                                 " of the borrow checking API is not supported by this module's array layer"));
    }
    static OnceCell<OwnedRef> kept_capsule;
    kept_capsule.store(std::move(capsule));
    return static_cast<const SharedBorrowApi*>(pointer);
}

OnceCell<const SharedBorrowApi*> registry_cell;

}  // namespace

std::size_t BorrowKeyHash::operator()(const BorrowKey& key) const noexcept {
    std::size_t hash = std::hash<std::uintptr_t>{}(key.start);
    for (const std::uintptr_t part : {key.end, key.data, static_cast<std::uintptr_t>(key.stride_gcd)}) {
        hash ^= std::hash<std::uintptr_t>{}(part) + 0x9e3779b97f4a7c15ULL + (hash << 6) + (hash >> 2);
    }
    return hash;
}

PyObject* base_address(BorrowedRef array) {
    PyObject* current = array.get();
    while (true) {
        PyObject* base = array_fields(BorrowedRef(current))->base;
        if (base == nullptr) return current;
        if (!is_array(BorrowedRef(base))) return base;
        current = base;
    }
}

BorrowKey borrow_key(BorrowedRef array) {
    const ArrayFields& fields = *array_fields(array);
    const auto data = reinterpret_cast<std::uintptr_t>(fields.data);
    if (fields.nd == 0) {
        return BorrowKey{data, data, data, 1};
    }
    const auto dimensions = static_cast<std::size_t>(fields.nd);
    std::intptr_t gcd = fields.strides[0];
    for (std::size_t i = 1; i < dimensions; ++i) {
        gcd = non_negative_gcd(gcd, fields.strides[i]);
    }
    bool empty = false;
    for (std::size_t i = 0; i < dimensions; ++i) empty = empty || fields.dimensions[i] == 0;
    if (empty) {
        return BorrowKey{data, data, data, gcd};
    }
    const OwnedRef descr = array_descr(array);
    const std::int64_t item_size = descr_elsize(descr.borrow());
    std::intptr_t low = 0;
    std::intptr_t high = 0;
    for (std::size_t i = 0; i < dimensions; ++i) {
        const std::intptr_t offset = (fields.dimensions[i] - 1) * fields.strides[i];
        (offset < 0 ? low : high) += offset;
    }
    return BorrowKey{data + static_cast<std::uintptr_t>(low),
                     data + static_cast<std::uintptr_t>(high) + static_cast<std::uintptr_t>(item_size), data, gcd};
}

bool conflicts(const BorrowKey& a, const BorrowKey& b) noexcept {
    if (b.start >= a.end || a.start >= b.end) return false;
    const std::intptr_t g = non_negative_gcd(a.stride_gcd, b.stride_gcd);
    const std::uintptr_t distance = a.data > b.data ? a.data - b.data : b.data - a.data;
    // Both views of stride 0 over overlapping ranges: treat as conflicting,
    // the safe answer when nothing can be proven.
    if (g == 0) return true;
    return distance % static_cast<std::uintptr_t>(g) == 0;
}

// registry_api and registry_snapshot are declared for tests only
// (tests/support/borrow_registry_hooks.hpp); the product goes through
// acquire_shared and release_shared.
const SharedBorrowApi& registry_api() {
    if (const SharedBorrowApi* const* cached = registry_cell.get()) return **cached;
    return *registry_cell.store(binding::expect_success(set_up_registry(), "Interal borrow checking API error"));
}

// The registry's entries as (base, key, count), when the registry in use was
// created by this copy of the code; nullopt when it belongs to another
// participant (its internals are private to it).
std::optional<std::vector<std::tuple<PyObject*, BorrowKey, std::intptr_t>>> registry_snapshot() {
    const SharedBorrowApi& api = registry_api();
    if (api.acquire != registry_acquire) return std::nullopt;
    auto& registry = *static_cast<BorrowRegistry*>(api.state);
    const RegistryLock guard(registry);
    std::vector<std::tuple<PyObject*, BorrowKey, std::intptr_t>> entries;
    for (const auto& [base, record] : registry.borrows) {
        for (const auto& [key, count] : record.counts) entries.emplace_back(base, key, count);
    }
    return entries;
}

BorrowOutcome acquire_shared(BorrowedRef array) {
    const SharedBorrowApi& api = registry_api();
    const int code = api.acquire(api.state, array.get());
    if (code == 0) return BorrowOutcome::Granted;
    if (code == -1) return BorrowOutcome::AlreadyBorrowed;
    throw InternalFault("Unexpected return code " + std::to_string(code) + " from borrow checking API");
}

void release_shared(BorrowedRef array) {
    const SharedBorrowApi& api = registry_api();
    api.release(api.state, array.get());
}

}  // namespace larkspur::array_input
