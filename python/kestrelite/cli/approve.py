"""`kestrelite approve`: a baseline takes the new run's pictures for the
pairs chosen."""

from ..approve import approve
from .output import plural, say


def register(commands):
    parser = commands.add_parser(
        "approve", help="make a baseline hold the new run's pictures",
        description="Copy NEW's images of the changed and added pairs into BASE and delete BASE's images of "
                    "the removed ones (or only of the pairs --only names), then update BASE's report and "
                    "contact sheet so that BASE stays a run folder whose digests match its files.",
        epilog="Exit status: 0 when done (or nothing to approve), 2 when refused; a refusal changes nothing.")
    parser.add_argument("base", metavar="BASE", help="the baseline run folder")
    parser.add_argument("new", metavar="NEW", help="the run folder whose pictures it takes")
    parser.add_argument("--only", action="append", metavar="PAIR",
                        help="approve only this pair: locale/screen/device as compare names it, or a device id "
                             "(repeatable)")
    parser.set_defaults(handler=run)


def run(args):
    approved = approve(args.base, args.new, args.only)
    if not approved:
        say(f"nothing to approve: {args.base} already holds {args.new}'s pictures")
        return 0
    for name, status in approved:
        say(f"approved {status:<8} {name}")
    say(f"{plural(len(approved), 'pair')} approved into {args.base}")
    return 0
