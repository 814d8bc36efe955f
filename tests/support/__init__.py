"""What the tests share, so that each rule and each kind of generated data is written once.

- `support.profiles`: the hypothesis profiles ("dev" by default, "ci" when the environment
  has CI=true, or the one named by KORVO_HYPOTHESIS_PROFILE), registered by conftest.py.
  KORVO_EXAMPLES sets the base example count; `examples(weight)` scales it for properties
  that are much cheaper or dearer than the rest. Properties need no settings of their own.
- `support.strategies`: generated texts, numbers, date-times, result values, counters,
  errors, mapping keys, nested values and whole report trees. The `JSON_*` strategies
  stay within what the JSON encoder accepts; `VALUES`, `KEYS` and `trees()` hold
  everything a report may carry.
- `support.values`: the odd value kinds the strategies draw from (enums, subclasses of
  the built-in types, a node subclass), for targeted tests too.
- `support.oracles`: the writers' representation rules restated in plain Python
  (`RulesDumper` for YAML, `RulesEncoder` for JSON, `expected_to_dict`), and the checks
  that compare native output, the host-library path and the rules (`check_yaml`,
  `check_json`, `check_both`, `outcome`).
- `support.reference_model`: the report model's rules in plain Python, for the
  differential tests of call sequences.
- `support.report_trees` and `support.legacy_fakes`: small finished jobs and recording
  stand-ins of the legacy report library, for the XML export tests.

A new property test: `from support import strategies as gen, oracles`, then
`@given(gen.VALUES)` and `oracles.check_both(node)`.
"""
