"""Stand-in of the legacy report library: the object model of the legacy
result format and the XML it writes.

The vocabulary is this stand-in's own and deliberately small:

``<kyreport format="1">`` holds one ``<campaign>``; the campaign holds its
timing (``<starttime>``, ``<stoptime>``, ``<runtime>``), ``<initinfo>``,
``<summary>``, ``<runinfo>``, ``<veld>`` and ``<jobexecution>``; the job
execution holds ``<testscript>`` elements, which hold ``<testsection>`` and
``<testcase>`` elements, down to nested ``<teststep>`` elements.

Values are written as text: dates as ``YYYY-MM-DDTHH:MM:SS[.ffffff]``, run
times as seconds (an integer when whole), results as their text form, other
values through ``str``.  Texts are written as they are given: cleaning them
is the caller's business.  ``None`` values leave their element out, except
for the timing elements, which are always present (empty when unknown).
"""
