// SPDX-License-Identifier: MIT
// The count of forks (claim.hpp), kept by a hook os.register_at_fork runs in
// each child.
#include "claim.hpp"

#include "../binding/py_ref.hpp"
#include "stream.hpp"

#include <Python.h>

namespace tarnwick::stream {

std::atomic<std::uint64_t> forks{0};

namespace {

PyObject* count_fork(PyObject* /*module*/, PyObject* /*unused*/) noexcept {
    forks.fetch_add(1, std::memory_order_relaxed);
    Py_RETURN_NONE;
}

PyMethodDef count_fork_record = {"_count_fork", &count_fork, METH_NOARGS, nullptr};

} // namespace

int count_forks() noexcept {
    const OwnedRef os = OwnedRef::steal(PyImport_ImportModule("os"));
    if (!os) {
        return -1;
    }
    if (PyObject_HasAttrString(os.get(), "register_at_fork") == 0) {
        return 0; // no fork on this platform
    }
    const OwnedRef hook = OwnedRef::steal(PyCFunction_New(&count_fork_record, nullptr));
    const OwnedRef register_at_fork =
        OwnedRef::steal(PyObject_GetAttrString(os.get(), "register_at_fork"));
    const OwnedRef arguments = OwnedRef::steal(PyTuple_New(0));
    const OwnedRef keywords = OwnedRef::steal(PyDict_New());
    if (!hook || !register_at_fork || !arguments || !keywords ||
        PyDict_SetItemString(keywords.get(), "after_in_child", hook.get()) < 0) {
        return -1;
    }
    const OwnedRef registered =
        OwnedRef::steal(PyObject_Call(register_at_fork.get(), arguments.get(), keywords.get()));
    return registered ? 0 : -1;
}

} // namespace tarnwick::stream
