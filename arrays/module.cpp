// SPDX-License-Identifier: MIT
// Module definition of tarnwick_arrays: the only symbol the shared object
// exports is PyInit_tarnwick_arrays. Importing it imports numpy, whose
// ndarray type the module keeps in its state.
#include "../binding/call_error.hpp"
#include "../binding/fatal.hpp"
#include "../binding/py_ref.hpp"
#include "../indicators/rows.hpp"
#include "../ndarray/numpy_type.hpp"
#include "functions.hpp"
#include "garch_fit.hpp"
#include "module_state.hpp"

#include <Python.h>

#include <utility>

namespace tarnwick::arrays {

namespace {

int module_exec(PyObject* module) noexcept {
    ModuleState& state = state_of(module);
    if (!kept_ndarray(state, "tarnwick_arrays",
                      "tarnwick_arrays needs numpy: pip install 'tarnwick[arrays]'")) {
        return -1;
    }
    state.frames = nullptr;
    state.garch11_fit = make_garch11_fit_type();
    if (state.garch11_fit == nullptr || add_tuple_types(module, state) < 0 ||
        add_catalogue(module) < 0 || PyModule_AddFunctions(module, garch_fit_records()) < 0 ||
        PyModule_AddFunctions(module, key_code_records()) < 0 ||
        PyModule_AddObjectRef(module, "Garch11Fit", state.garch11_fit) < 0) {
        return -1;
    }

    if (PyModule_AddStringConstant(module, "__version__", TARNWICK_VERSION) < 0) {
        return -1;
    }
    // The vector-lane path this process runs panels on, for checks and reports.
    if (PyModule_AddStringConstant(module, "_lanes", name_of(lane_path())) < 0) {
        return -1;
    }
    const auto listed = [&](const PyMethodDef* record) {
        const OwnedRef name =
            OwnedRef::steal(created_or_abort(PyUnicode_FromString(record->ml_name)));
        CallStatus status = list_in_all(module, name.get());
        return status.failed() ? (std::move(status.error()).raise(), -1) : 0;
    };
    for (PyMethodDef* record = method_records(); record->ml_name != nullptr; ++record) {
        if (listed(record) < 0) {
            return -1;
        }
    }
    for (PyMethodDef* record = garch_fit_records(); record->ml_name != nullptr; ++record) {
        if (record->ml_name[0] != '_' && listed(record) < 0) {
            return -1;
        }
    }
    return 0;
}

PyModuleDef definition = module_definition<ModuleState>(
    "tarnwick_arrays",
    "ADX, Parabolic SAR and GARCH(1,1) variance over arrays: numpy, pandas, polars and\n"
    "Arrow, one series or a whole panel, the interpreter lock released while they run.\n"
    "Values are bit for bit those of the tarnwick functions, series by series.",
    method_records(), exec_slots<&module_exec>);

} // namespace

} // namespace tarnwick::arrays

PyMODINIT_FUNC PyInit_tarnwick_arrays(void) {
    return PyModuleDef_Init(&tarnwick::arrays::definition);
}
