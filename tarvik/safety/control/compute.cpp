// enforce_compute_section: the `compute` switches of the control mapping,
// each rule written once over the reader that runs it (readers.hpp).
#include "checks.hpp"

namespace tarvik {

namespace {

// A switch holds True, False or an int equal to 0 or 1: 1, 0 or -1.
template <class R>
int is_switch(R &r, const typename R::Value &value)
{
    int flag = r.is_bool(value);
    if (flag != 0) {
        return flag;
    }
    flag = r.is_int(value);
    if (flag <= 0) {
        return flag;
    }
    // `value == 0 or value == 1`, through the value's own equality.
    flag = r.equals(value, 0);
    return flag != 0 ? flag : r.equals(value, 1);
}

template <class R>
bool check_compute(R &r, PyObject *control_arg)
{
    auto control = r.value(control_arg);
    // A false `control` stands for an empty mapping, which has no compute
    // section; anything else that is not a dict is the other check's
    // complaint.
    int flag = r.truth(control);
    if (flag > 0) {
        flag = r.is_dict(control);
    }
    if (flag <= 0) {
        return flag == 0;
    }
    typename R::Section sections;
    if (!r.read_any(control, top_keys, &sections)) {
        return false;
    }
    auto compute = r.get(sections, top::compute);
    if (!compute) {
        return false;
    }
    if (r.is_none(compute)) {
        return true;
    }
    typename R::Section switches;
    if (!expect(r, r.is_dict(compute), msg::compute_not_dict) ||
        !r.read(compute, compute_keys, &switches) ||
        !r.only(switches, compute_keys, msg::compute_unsupported)) {
        return false;
    }
    // Each switch present: in the general reader, in the iteration order of
    // their intersection with the allowed names, each value read by item
    // lookup.
    return r.each_present(switches, [&r](const auto &key, const auto &value) {
        int valid = is_switch(r, value);
        return valid > 0 ||
               (valid == 0 && r.refuse_showing(msg::compute_not_bool, key));
    });
}

} // namespace

bool enforce_compute_section(const CallContext &call, PyObject *control)
{
    return decide(call, control,
                  [](auto &r, PyObject *c) { return check_compute(r, c); });
}

} // namespace tarvik
