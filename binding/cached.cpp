// SPDX-License-Identifier: MIT
#include "cached.hpp"

#include "fatal.hpp"
#include "py_ref.hpp"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <process.h>
#include <windows.h>
#else
#include <time.h>
#include <unistd.h>
#endif

namespace tarnwick {

namespace {

long current_process() noexcept {
#ifdef _WIN32
    return _getpid();
#else
    return static_cast<long>(getpid());
#endif
}

void pause_briefly() noexcept {
#ifdef _WIN32
    Sleep(1);
#else
    const timespec pause{0, 100'000};
    nanosleep(&pause, nullptr);
#endif
}

} // namespace

OwnedRef ProcessCache::make_once() noexcept {
    const unsigned long me = PyThread_get_thread_ident();
    const long process = current_process();
    for (;;) {
        if (PyObject* value = value_.load(std::memory_order_acquire)) {
            return OwnedRef::borrow(value);
        }
        unsigned long owner = owner_.load(std::memory_order_acquire);
        // A claim copied by a fork belongs to a thread of the parent.
        if (owner == 0 || owner_process_.load(std::memory_order_relaxed) != process) {
            if (owner_.compare_exchange_strong(owner, me, std::memory_order_acq_rel)) {
                owner_process_.store(process, std::memory_order_relaxed);
                return make_claimed(me);
            }
        } else if (owner == me || !Py_IsInitialized()) {
            return OwnedRef::steal(make_());
        } else {
            wait_while_claimed_by(owner);
        }
    }
}

OwnedRef ProcessCache::make_claimed(unsigned long thread) noexcept {
    OwnedRef made = OwnedRef::steal(make_());
    if (made) {
        OwnedRef kept = OwnedRef::borrow(made.get());
        PyObject* stored = nullptr;
        if (value_.compare_exchange_strong(stored, kept.get(), std::memory_order_acq_rel)) {
            static_cast<void>(kept.release()); // held for the life of the process
        } else {
            // Only a call re-entered from this making, in a child forked
            // while this thread was making it, can have stored it first.
            made = OwnedRef::borrow(stored);
        }
    }
    // The claim ends here unless a forked child's other thread took it over.
    owner_.compare_exchange_strong(thread, 0, std::memory_order_acq_rel);
    return made;
}

void ProcessCache::wait_while_claimed_by(unsigned long thread) noexcept {
    PyThreadState* state = PyEval_SaveThread();
    while (owner_.load(std::memory_order_acquire) == thread && Py_IsInitialized()) {
        pause_briefly();
    }
    PyEval_RestoreThread(state);
}

namespace {

template <const char* Text> PyObject* make_interned() noexcept {
    PyObject* name = created_or_abort(PyUnicode_FromString(Text));
    PyUnicode_InternInPlace(&name);
    return name;
}

constexpr char dunder_name[] = "__name__";
constexpr char dunder_all[] = "__all__";
constexpr char add_note[] = "add_note";
constexpr char dunder_qualname[] = "__qualname__";

constinit ProcessCache cached_name{make_interned<dunder_name>};
constinit ProcessCache cached_all{make_interned<dunder_all>};
constinit ProcessCache cached_add_note{make_interned<add_note>};
constinit ProcessCache cached_qualname{make_interned<dunder_qualname>};

PyObject* import_sequence_abc() noexcept {
    const OwnedRef module_name =
        OwnedRef::steal(created_or_abort(PyUnicode_FromString("collections.abc")));
    const OwnedRef module = OwnedRef::steal(PyImport_Import(module_name.get()));
    if (!module) {
        return nullptr;
    }
    OwnedRef sequence = OwnedRef::steal(PyObject_GetAttrString(module.get(), "Sequence"));
    if (!sequence) {
        return nullptr;
    }
    if ((PyType_GetFlags(Py_TYPE(sequence.get())) & Py_TPFLAGS_TYPE_SUBCLASS) == 0) {
        PyErr_SetString(PyExc_TypeError, "collections.abc.Sequence is not a type");
        return nullptr;
    }
    return sequence.release();
}

constinit ProcessCache cached_sequence{import_sequence_abc};

} // namespace

OwnedRef name_of_name() noexcept {
    return cached_name.get();
}
OwnedRef name_of_all() noexcept {
    return cached_all.get();
}
OwnedRef name_of_add_note() noexcept {
    return cached_add_note.get();
}
OwnedRef name_of_qualname() noexcept {
    return cached_qualname.get();
}
OwnedRef sequence_abc() noexcept {
    return cached_sequence.get();
}

} // namespace tarnwick
