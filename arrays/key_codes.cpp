// SPDX-License-Identifier: MIT
// _text_codes: a column of text keys (by=) as int64 codes, 0, 1, ... by key
// in the order the keys first come, read in place (key_column.hpp); None
// for any other column (integers, nulls in it), which tarnwick_frames
// groups by its library's own factorisation.
#include "../binding/buffer_export.hpp"
#include "../binding/py_ref.hpp"
#include "../ndarray/key_column.hpp"
#include "functions.hpp"
#include "module_state.hpp"

#include <Python.h>

#include <cstdint>

namespace tarnwick::arrays {

namespace {

PyObject* text_codes(PyObject* module, PyObject* column) noexcept {
    ModuleState& state = state_of(module);
    KeyColumn keys;
    switch (keys.read(column, state.ndarray, KeyColumn::Kinds::text)) {
    case KeyColumn::Read::no:
        Py_RETURN_NONE;
    case KeyColumn::Read::failed:
        return nullptr;
    case KeyColumn::Read::yes:
        break;
    }
    OwnedRef codes = OwnedRef::steal(PyObject_CallFunction(
        state.ndarray, "(n)s", static_cast<Py_ssize_t>(keys.rows()), "int64"));
    BufferExport view;
    if (!codes || !view.acquire(codes.get(), PyBUF_C_CONTIGUOUS | PyBUF_WRITABLE)) {
        return nullptr;
    }
    DistinctKeys distinct;
    switch (keys.number(distinct, static_cast<std::int64_t*>(view.view().buf))) {
    case KeyColumn::Read::no:
        Py_RETURN_NONE;
    case KeyColumn::Read::failed:
        return nullptr;
    case KeyColumn::Read::yes:
        break;
    }
    return codes.release();
}

PyMethodDef records[] = {
    {"_text_codes", &text_codes, METH_O,
     "The int64 codes of a column of text keys with no nulls, or None."},
    {nullptr, nullptr, 0, nullptr},
};

} // namespace

PyMethodDef* key_code_records() noexcept {
    return records;
}

} // namespace tarnwick::arrays
