"""The checks written as one JSON Schema (control.schema.json, draft 7),
validated by fastjsonschema (compiled once) and by jsonschema (a
Draft7Validator made once), each check against its own definition, with the
Python beside it for what JSON Schema cannot say: a rule that depends on the
call's families (the link configurations), a value compared after str(),
strip() and lower() (the choices), a key read only when another one is empty
(control.link / control_link, int.strategy / int_strategy). It runs once the
schema has accepted the call, so the sections are dicts or None.

JSON has a single number type: a switch of 1.0 or 0.0 is one of its 1 and 0,
which the module refuses.

A refusal of the schema is the validator's own exception, raised again as
SafetyError with its message; the Python refuses with the module's.
"""

import json
from pathlib import Path
from types import SimpleNamespace
from typing import Any, Callable, Dict

import fastjsonschema
import jsonschema
import messages
from reference import INT_STRATEGIES, STRATEGIES, VB_HESSIAN_STRATEGIES, VB_STRATEGIES

from peers import rules
from tarvik.safety.errors import SafetyError

SCHEMA = json.loads((Path(__file__).resolve().parent / "control.schema.json").read_text())
jsonschema.Draft7Validator.check_schema(SCHEMA)


def check_link(config: Any, families: Any) -> None:
    rules.gate(families)
    if not isinstance(config, dict):
        raise SafetyError(messages.link_not_dict)
    model = config.get("model")
    if model is None:
        raise SafetyError(messages.link_model_missing)
    rules.link_model(rules.text(model), config.get("quantile"), "gammasurv" in families)


def beyond_the_schema(kwargs: Any, families: Any) -> None:
    control = kwargs.get("control")
    if control is None:
        return
    family = control.get("family")
    if isinstance(family, dict):
        config = family.get("control.link") or family.get("control_link")
        if config is not None:
            check_link(config, families)
    predictor = control.get("predictor")
    # Either key present: the first that is not empty is judged, even None.
    if predictor is not None and ("control.link" in predictor or "control_link" in predictor):
        check_link(predictor.get("control.link") or predictor.get("control_link"), families)
    inla = control.get("inla")
    if inla is None:
        return
    control_vb = inla.get("control_vb")
    if control_vb is not None:
        rules.vb_choice(control_vb.get("strategy"), VB_STRATEGIES, messages.vb_strategy_refused)
        rules.vb_choice(control_vb.get("hessian_strategy"), VB_HESSIAN_STRATEGIES,
                        messages.vb_hessian_refused)  # fmt: skip
    rules.choice(inla.get("strategy"), "strategy", STRATEGIES)
    integration = inla.get("int.strategy")
    rules.choice(inla.get("int_strategy") if integration is None else integration, "int.strategy",
                 INT_STRATEGIES)  # fmt: skip


def checks(validator: Callable[[Dict[str, Any]], Callable[[Any], Any]], error: type,
           message: Callable[[Any], str]) -> SimpleNamespace:  # fmt: skip
    """The two checks with a validator made from a schema by `validator`,
    which raises `error`, shown by `message`."""
    structure, compute = (validator(SCHEMA["definitions"][name]) for name in ("structure", "compute"))

    def enforce_control_structure(kwargs: Any, families: Any = ()) -> None:
        try:
            structure(kwargs)
        except error as exc:
            raise SafetyError(message(exc)) from exc
        beyond_the_schema(kwargs, families)

    def enforce_compute_section(kwargs: Any) -> None:
        try:
            compute(kwargs)
        except error as exc:
            raise SafetyError(message(exc)) from exc

    return SimpleNamespace(enforce_control_structure=enforce_control_structure,
                           enforce_compute_section=enforce_compute_section)  # fmt: skip


fastjsonschema_checks = checks(fastjsonschema.compile, fastjsonschema.JsonSchemaValueException,
                               lambda exc: exc.message)  # fmt: skip
jsonschema_checks = checks(lambda schema: jsonschema.Draft7Validator(schema).validate,
                           jsonschema.ValidationError,
                           lambda exc: "{}: {}".format(exc.json_path, exc.message))  # fmt: skip
