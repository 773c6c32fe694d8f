#!/usr/bin/env python3
"""Edits a classic pcap capture deterministically and reports which bytes the
edit made unrecoverable.

  pcap-edit.py IN.pcap OUT.pcap [--drop N,N..] [--dup N[:K],..] [--move N:K,..]
               [--client-isn V] [--server-isn V] [--wrap-server-middle]
               [--report REPORT.json]

Frame numbers are 1-based numbers of IN.pcap (as tshark shows them), whatever
the other operations do. --dup N:K puts a copy of frame N K frames after it
(default right after), --move N:K moves frame N K places later (negative:
earlier), --drop leaves frames out. --client-isn/--server-isn rewrite the
sequence numbers of every TCP connection so that its SYN / SYN-ACK carry V
(0x... accepted); --wrap-server-middle picks the server's value per connection
so that its stream crosses 2^32 halfway. Acknowledgement numbers and SACK
edges follow, TCP checksums are recomputed.

The report (JSON) lists the operations, the output order as input frame
numbers, and per connection and direction the stream byte ranges that the
input held and the output holds nowhere (for HTTP also as body ranges of
each response).
"""

import argparse
import json
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from capmaker import edit, pcapfile  # noqa: E402


def _list(text):
    return [x for x in text.split(",") if x] if text else []


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("input")
    ap.add_argument("output")
    ap.add_argument("--drop", default="")
    ap.add_argument("--dup", default="")
    ap.add_argument("--move", default="")
    ap.add_argument("--client-isn", type=lambda s: int(s, 0))
    ap.add_argument("--server-isn", type=lambda s: int(s, 0))
    ap.add_argument("--wrap-server-middle", action="store_true")
    ap.add_argument("--report")
    args = ap.parse_args(argv)
    for v in (args.client_isn, args.server_isn):
        if v is not None and not 0 <= v < 1 << 32:
            ap.error("initial sequence numbers are 32-bit values")
    try:
        original = pcapfile.read_pcap(args.input)
        work = pcapfile.read_pcap(args.input)
        seq_facts = None
        if args.client_isn is not None or args.server_isn is not None or args.wrap_server_middle:
            seq_facts = edit.shift_sequence_numbers(work, args.client_isn, args.server_isn,
                                                    args.wrap_server_middle)
        order = edit.reorder_frames(work, _list(args.drop), _list(args.dup), _list(args.move))
        result = edit.apply_order(work, order)
        pcapfile.write_pcap(args.output, result)
        report = {
            "input": os.path.basename(args.input),
            "output": os.path.basename(args.output),
            "operations": {"drop": [int(x) for x in _list(args.drop)], "dup": _list(args.dup),
                           "move": _list(args.move)},
            "frames_in": len(original.frames),
            "frames_out": len(result.frames),
            "order": order,
            "sequence_numbers": seq_facts,
            "lost": edit.lost_bytes(original, result),
        }
    except (pcapfile.PcapError, edit.EditError, OSError) as e:
        print(f"pcap-edit: {e}", file=sys.stderr)
        return 1
    text = json.dumps(report, indent=1)
    if args.report:
        with open(args.report, "w") as f:
            f.write(text + "\n")
    lost = sum(d[k]["unrecoverable_bytes"] for d in report["lost"]
               for k in ("client_to_server", "server_to_client"))
    print(f"pcap-edit: {len(result.frames)} frames written, {lost} stream bytes unrecoverable",
          file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())
