"""`python -m korvo.reporter demo OUTDIR` and `python -m korvo.reporter summary FILE`."""

from korvo.reporter.cli import exit_process, main

if __name__ == "__main__":
    exit_process(main())
