"""`korvo.reporter.merge(*campaigns, id=None)`: one report from shards and reruns."""

from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from korvo.reporter.campaign import Campaign

__all__ = ["merge"]


def merge(*campaigns: "Campaign", id: Any = None) -> "Campaign":
    """A new Campaign tree holding the tasks of `campaigns`, in order.

    A task (or job-level plugin) id seen again is merged into the first one: its
    children with an id seen before replace the earlier ones where they stood (the
    rerun wins; the replacement gets the detail "rerun: was <result>"), new ones are
    appended. Every counter is recounted by the model's roll-ups; the campaign spans
    the earliest start to the latest stop, keeps the first input's data (and id,
    unless `id` is given) and lists every input under extra["merged_from"]. The
    inputs are not changed.
    """
    from korvo.reporter import campaign
    from korvo.reporter.loading import source_of

    if not campaigns:
        raise TypeError("merge() needs at least one Campaign tree")
    return campaign._merge_trees(list(campaigns), [source_of(c) for c in campaigns], id)
