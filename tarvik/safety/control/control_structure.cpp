// enforce_control_structure: the top-level keys of the control mapping, the
// family, predictor and inla sections, link configurations and choices,
// each rule written once over the reader that runs it (readers.hpp).
#include "checks.hpp"

namespace tarvik {

namespace {

// A setting of control['inla'] that names one of its choices: its key, which
// the messages show, and its choices in normal form.
struct InlaChoice {
    Slot<inla_names> slot;
    const Table &choices;
};
const InlaChoice strategy_choice{inla::strategy, strategy_choices};
// Read from int.strategy or int_strategy, shown as int.strategy either way.
const InlaChoice int_strategy_choice{inla::int_dot_strategy,
                                     int_strategy_choices};

// A setting of control['inla']['control_vb'] that names one of its choices,
// compared stripped and lower-cased, with the message that refuses it.
struct VbChoice {
    Slot<vb_names> slot;
    const Table &choices;
    const Message &refused;
};
// In the order they are judged.
const VbChoice vb_choices[] = {
    {vb::strategy, vb_strategy_choices, msg::vb_strategy_refused},
    {vb::hessian_strategy, vb_hessian_choices, msg::vb_hessian_refused},
};

// `value = parent.get(slot)`, a section that may be absent: true when it is
// None, else what `check(value)` says.
template <class R, class Section, class Slot>
bool optional_section(R &r, const Section &parent, Slot slot,
                      bool (*check)(R &, const typename R::Value &))
{
    auto value = r.get(parent, slot);
    return value && (r.is_none(value) || check(r, value));
}

// One link configuration (the value under control.link or control_link),
// judged against the families of the call.
template <class R>
bool validate_control_link(R &r, const typename R::Value &block)
{
    auto link = r.section(configuration_keys);
    if (!expect(r, r.family_is(family::gamma, family::gammasurv),
                msg::link_family) ||
        !expect(r, r.is_a(block, &PyDict_Type), msg::link_not_dict) ||
        !r.read(block, &link)) {
        return false;
    }
    auto model = r.get(link, configuration::model);
    if (!model) {
        return false;
    }
    if (r.is_none(model)) {
        return r.refuse(msg::link_model_missing);
    }
    typename R::Text model_norm;
    if (!r.normalize(model, false, &model_norm)) {
        return false;
    }
    int is_survival = r.family_is(family::gammasurv);
    if (is_survival < 0) {
        return false;
    }
    if (is_survival) {
        if (!expect(r, r.in_order(model_norm, gammasurv_models),
                    msg::link_model_gammasurv)) {
            return false;
        }
        int unquantiled = r.in_order(model_norm, unquantiled_models);
        if (unquantiled != 0) {
            return unquantiled > 0;
        }
    }
    else {
        // `model_norm != "quantile"`, through the text's own comparison.
        int differs = r.differs(model_norm, gamma_models, quantile_model);
        if (differs != 0) {
            return differs > 0 && r.refuse(msg::link_model_gamma);
        }
    }
    auto quantile = r.get(link, configuration::quantile);
    if (!quantile) {
        return false;
    }
    if (r.is_none(quantile)) {
        return r.refuse(msg::link_quantile_missing);
    }
    double q = 0.0;
    if (!r.number(quantile, &q, msg::link_quantile_not_numeric)) {
        return false;
    }
    // Written so that NaN fails as well.
    return (0.0 < q && q < 1.0) || r.refuse(msg::link_quantile_range);
}

// `block.get("control.link") or block.get("control_link")`
template <class R, class Section>
typename R::Value link_configuration(R &r, const Section &block)
{
    auto configuration = r.get(block, link_key::preferred);
    if (!configuration) {
        return configuration;
    }
    int truth = r.truth(configuration);
    if (truth != 0) {
        return truth > 0 ? std::move(configuration) : typename R::Value();
    }
    return r.get(block, link_key::fallback);
}

template <class R>
bool check_family(R &r, const typename R::Value &family_block)
{
    int is_dict = r.is_a(family_block, &PyDict_Type);
    if (is_dict <= 0) {
        // A list of family blocks is accepted as it is.
        return is_dict == 0 && expect(r, r.is_a(family_block, &PyList_Type),
                                      msg::family_not_dict);
    }
    auto block = r.section(link_keys);
    if (!r.read(family_block, &block)) {
        return false;
    }
    auto link_conf = link_configuration(r, block);
    return link_conf &&
           (r.is_none(link_conf) || validate_control_link(r, link_conf));
}

template <class R>
bool check_predictor(R &r, const typename R::Value &predictor_block)
{
    auto block = r.section(predictor_link_keys);
    if (!expect(r, r.is_a(predictor_block, &PyDict_Type),
                msg::predictor_not_dict) ||
        !r.read(predictor_block, &block)) {
        return false;
    }
    int has_link = r.has(block, link_key::preferred);
    if (has_link == 0) {
        has_link = r.has(block, link_key::fallback);
    }
    if (has_link < 0) {
        return false;
    }
    if (has_link) {
        // Handed over even when it is None: the validator refuses that.
        auto link_conf = link_configuration(r, block);
        if (!link_conf || !validate_control_link(r, link_conf)) {
            return false;
        }
    }
    const Table &allowed =
        has_link ? static_cast<const Table &>(predictor_link_keys)
                 : predictor_keys;
    if (!r.only(block, allowed, msg::predictor_unsupported)) {
        return false;
    }
    int has_compute = r.has(block, predictor::compute);
    if (has_compute <= 0) {
        return has_compute == 0;
    }
    auto compute = r.item(block, predictor::compute);
    return compute && expect(r, r.is_a(compute, &PyBool_Type),
                             msg::predictor_compute_not_bool);
}

// A choice of the inla section: its normal form (text, strip, lower, "_"
// to ".") is one of its choices; a refused value is shown as given. Inlined:
// called, it costs the typical call 80 instructions more (bench).
template <class R>
TARVIK_ALWAYS_INLINE bool normalize_choice(R &r,
                                           const typename R::Value &value,
                                           const InlaChoice &choice)
{
    PyObject *name = inla_keys.name(choice.slot);
    typename R::Text normalized;
    if (!r.normalize_or(value, true, &normalized, msg::choice_not_text,
                        name)) {
        return false;
    }
    int member = r.in_set(normalized, choice.choices);
    if (member != 0) {
        return member > 0;
    }
    return r.refuse_showing(msg::choice_refused, name, choice.choices.sorted(),
                            value);
}

template <class R>
bool check_control_vb(R &r, const typename R::Value &control_vb)
{
    auto vb = r.section(vb_keys);
    if (!expect(r, r.is_a(control_vb, &PyDict_Type), msg::vb_not_dict) ||
        !r.read(control_vb, &vb) ||
        !r.only(vb, vb_keys, msg::vb_unsupported)) {
        return false;
    }
    // Each setting absent, None, or one of its choices once stripped and
    // lower-cased; a refused value is shown as stored.
    for (const VbChoice &setting : vb_choices) {
        auto value = r.get(vb, setting.slot);
        if (!value) {
            return false;
        }
        if (r.is_none(value)) {
            continue;
        }
        typename R::Text text;
        if (!r.normalize(value, false, &text)) {
            return false;
        }
        int member = r.in_order(text, setting.choices);
        if (member <= 0) {
            return member == 0 && r.refuse_showing(setting.refused, value);
        }
    }
    return true;
}

template <class R>
bool check_inla(R &r, const typename R::Value &inla_value)
{
    auto inla_block = r.section(inla_keys);
    if (!expect(r, r.is_a(inla_value, &PyDict_Type), msg::inla_not_dict) ||
        !r.read(inla_value, &inla_block) ||
        !r.only(inla_block, inla_keys, msg::inla_unsupported) ||
        !optional_section(r, inla_block, inla::control_vb,
                          check_control_vb<R>)) {
        return false;
    }
    auto strategy_val = r.get(inla_block, inla::strategy);
    if (!strategy_val ||
        !(r.is_none(strategy_val) ||
          normalize_choice(r, strategy_val, strategy_choice))) {
        return false;
    }
    auto int_strategy_val = r.get(inla_block, inla::int_dot_strategy);
    if (!int_strategy_val) {
        return false;
    }
    if (r.is_none(int_strategy_val)) {
        int has = r.has(inla_block, inla::int_underscore_strategy);
        if (has < 0) {
            return false;
        }
        if (has) {
            int_strategy_val =
                r.get(inla_block, inla::int_underscore_strategy);
            if (!int_strategy_val) {
                return false;
            }
        }
    }
    return r.is_none(int_strategy_val) ||
           normalize_choice(r, int_strategy_val, int_strategy_choice);
}

template <class R>
bool check_control(R &r, PyObject *control_arg)
{
    auto control = r.value(control_arg);
    auto sections = r.section(top_keys);
    return expect(r, r.is_a(control, &PyDict_Type), msg::control_not_dict) &&
           r.read(control, &sections) &&
           r.only(sections, top_keys, msg::control_unsupported) &&
           optional_section(r, sections, top::family, check_family<R>) &&
           optional_section(r, sections, top::predictor, check_predictor<R>) &&
           optional_section(r, sections, top::inla, check_inla<R>);
}

} // namespace

bool enforce_control_structure(const CallContext &call, PyObject *control)
{
    return decide(call, control,
                  [](auto &r, PyObject *c) { return check_control(r, c); });
}

} // namespace tarvik
