"""The legacy report stand-in as it was before it was made lean: the oracle that the
lean one's output is compared with, byte for byte."""
