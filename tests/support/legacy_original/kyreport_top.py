"""The top-level object of the legacy report."""

import xml.etree.ElementTree as ET

__all__ = ["KYReport", "FORMAT"]

FORMAT = "1"


class KYReport:
    """The legacy report: holds one legacy `campaign` and writes the details
    document, ``<kyreport format="1">`` holding the campaign's element."""

    def __init__(self):
        self.campaign = None

    def generate_dom(self):
        """The root element of the details document."""
        root = ET.Element("kyreport", format=FORMAT)
        if self.campaign is not None:
            self.campaign.generate_dom(root)
        return root
