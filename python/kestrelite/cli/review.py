"""`kestrelite review`: the comparison page served on this machine, with
buttons that approve a pair into the baseline."""

from ..compare import ANTIALIASING
from .compare import threshold_value
from .output import say


def register(commands):
    parser = commands.add_parser(
        "review", help="review a comparison in the browser and approve changes into the baseline",
        description="Compare NEW with BASE and serve the comparison page on 127.0.0.1, with approve and "
                    "reject buttons per pair and one that approves every changed pair; an approval does what "
                    "`kestrelite approve BASE NEW --only PAIR` does. The address carries a secret: open it "
                    "as printed. Ends when the page's done button is pressed, or on Ctrl-C.",
        epilog="Exit status: 0 when the review ended, 2 for bad arguments.")
    parser.add_argument("base", metavar="BASE", help="the baseline run folder")
    parser.add_argument("new", metavar="NEW", help="the run folder to review")
    parser.add_argument("--threshold", type=threshold_value, default=0, metavar="N",
                        help="as for compare (default 0)")
    parser.add_argument("--antialiasing", choices=ANTIALIASING, default="count",
                        help="as for compare (default count)")
    parser.set_defaults(handler=run)


def run(args):
    # The server's modules load only for this command: every other one starts faster.
    from ..review import Review, serving
    review = Review(args.base, args.new, args.threshold, args.antialiasing)
    try:
        with serving(review) as address:
            say(f"review: {address}")
            say("press done on the page, or Ctrl-C here, to end")
            try:
                while not review.finished.wait(0.5):
                    pass
            except KeyboardInterrupt:
                say("")
    finally:
        review.close()
    for name, status in review.approved:
        say(f"approved {status:<8} {name}")
    say(f"{len(review.approved)} approved into {args.base}" if review.approved else "nothing approved")
    return 0
