// The functions of `larkspur_tools._batch`, one PyMethodDef each, defined
// beside the code they wrap; module.cpp lists them (the one registration).
//
//   el_many(values, q, d, axis, threads, stop_at_first_failure)
//     -> (p_tilde, statistic, pvalue, failures)           el_entry_points.cpp
//   lag_profile(values, q, d) -> dict                      el_entry_points.cpp
//   check_parameters(q, d) -> None; default_d(n) -> int    el_entry_points.cpp
//   chi2_upper_tail(x, df) -> float; kernel_info() -> dict numeric_entry_points.cpp
//   _select_by_byte(octets, products, out, threshold)      byte_select_entry.cpp
//   gst_many, gst_prepare, gst_replicates                  gst_entry_points.cpp
//   demeaned(values, factors) -> (e, e * f, ...)           bootstrap_entry_points.cpp
#pragma once

#include <Python.h>

namespace larkspur::batch {

extern const PyMethodDef el_many_method;
extern const PyMethodDef lag_profile_method;
extern const PyMethodDef check_parameters_method;
extern const PyMethodDef default_d_method;
extern const PyMethodDef chi2_upper_tail_method;
extern const PyMethodDef kernel_info_method;
extern const PyMethodDef select_by_byte_method;
extern const PyMethodDef gst_many_method;
extern const PyMethodDef gst_prepare_method;
extern const PyMethodDef gst_replicates_method;
extern const PyMethodDef demeaned_method;

}  // namespace larkspur::batch
