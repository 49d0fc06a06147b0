#!/usr/bin/env python3
"""The benchmark's arithmetic on made-up timings: what `make bench` prints
can only be as right as this."""
import os
import random
import re
import statistics
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from benchstats import (Ratio, RunnerOutputError, median, pair_ratios, parse_runner,  # noqa: E402
                        phases, quartiles, round_order)


class Summaries(unittest.TestCase):
    def test_median_and_quartiles(self):
        # (values, (q1, median, q3)); the input order must not matter.
        cases = [
            ([7.0], (7.0, 7.0, 7.0)),
            ([2.0, 1.0], (1.25, 1.5, 1.75)),
            ([5, 1, 4, 2, 3], (2, 3, 4)),
            ([3, 1, 2, 4], (1.75, 2.5, 3.25)),
            ([1, 1, 1, 100], (1, 1, 25.75)),
        ]
        for values, wanted in cases:
            got = quartiles(values)
            self.assertEqual([round(v, 9) for v in got], list(wanted), 'quartiles of %s' % values)
            self.assertEqual(median(values), wanted[1], 'median of %s' % values)
        rng = random.Random(9)
        for n in range(2, 40):
            values = [rng.uniform(50, 500) for _ in range(n)]
            q = statistics.quantiles(values, n=4, method='inclusive')
            got = quartiles(values)
            for a, b in zip(got, q):
                self.assertAlmostEqual(a, b, places=9, msg='%d values' % n)
        with self.assertRaises(ValueError):
            quartiles([])


class PairedRatios(unittest.TestCase):
    def test_pairs_are_compared_within_their_round(self):
        # The median of the pair ratios is 1.0, the ratio of the medians 2.0:
        # the pairing, not the sorted lists, decides.
        r = Ratio([10, 20, 30], [10, 10, 30])
        self.assertEqual(r.pairs, [1.0, 2.0, 1.0])
        self.assertEqual(r.median, 1.0)
        with self.assertRaises(ValueError):
            pair_ratios([1, 2], [1])
        with self.assertRaises(ValueError):
            pair_ratios([1], [0])

    def test_a_machine_that_drifts_between_rounds_does_not_move_the_ratio(self):
        # Each round runs at its own speed (other work on the machine), both
        # sides alike, with a little noise of their own: the ratio holds
        # still, where the plain medians of each side would not pair up.
        rng = random.Random(15)
        for true_ratio in (0.95, 1.0, 1.1, 1.37):
            base = 200.0
            slow = [rng.choice((1.0, 1.0, 1.6, 2.5)) for _ in range(15)]
            floor = [base * k * rng.uniform(0.995, 1.005) for k in slow]
            stub = [base * true_ratio * k * rng.uniform(0.995, 1.005) for k in slow]
            r = Ratio(stub, floor)
            self.assertAlmostEqual(r.median, true_ratio, delta=0.012, msg=str(r.pairs))
            self.assertLess(r.iqr, 0.015, str(r.pairs))
            self.assertTrue(re.fullmatch(r'uninstall: ratio \d+\.\d\d \(IQR \d+\.\d\d–\d+\.\d\d, 15 pairs\)',
                                         r.line('uninstall')), r.line('uninstall'))

    def test_every_side_runs_in_every_position(self):
        sides = ['stub', 'bare loop', 'boxes around the loop', 'box', 'box with OLE']
        for rounds in (5, 15, 20):
            seen = {s: [0] * len(sides) for s in sides}
            for i in range(rounds):
                order = round_order(sides, i)
                self.assertEqual(sorted(order), sorted(sides), 'round %d' % i)
                for position, side in enumerate(order):
                    seen[side][position] += 1
            for side, counts in seen.items():
                self.assertLessEqual(max(counts) - min(counts), 1, '%s over %d rounds: %s'
                                     % (side, rounds, counts))


class RunnerReports(unittest.TestCase):
    def test_a_confirmed_run_splits_into_three_phases(self):
        text = ('box 1 1 180.500\r\nclosed 1 181.000\r\nbox 2 1 930.250\r\n'
                'closed 2 931.000\r\nelapsed_ms 1010.750\r\nexit 0\r\ngone ok\r\n')
        run = parse_runner(text)
        self.assertEqual(run['boxes'], [180.5, 930.25])
        self.assertEqual((run['exit'], run['gone'], run['unexpected']), (0, 'ok', 0))
        self.assertEqual(phases(run), {'start': 180.5, 'between': 749.75, 'end': 80.5})
        one = parse_runner('idle ok\nbox 1 2 95.0\nunexpected box 96.0\nelapsed_ms 120.0\nexit 0\n')
        self.assertEqual((phases(one), one['idle'], one['unexpected']),
                         ({'start': 95.0, 'end': 25.0}, 'ok', 1))
        shared = parse_runner('elapsed_ms 5\nexit 0\n\nC:\\T>del "C:\\T\\Delme.bat" gone ok\r\n')
        self.assertEqual(shared['gone'], 'ok', 'a verdict after the interpreter\'s open line')
        for broken in ('box 1 1 180.5\nexit 0\n', 'elapsed_ms 12\n', 'elapsed_ms x\nexit 0\n'):
            with self.assertRaises(RunnerOutputError, msg=broken):
                parse_runner(broken)
        with self.assertRaises(ValueError):
            phases(parse_runner('elapsed_ms 5\nexit 0\n'))


if __name__ == '__main__':
    unittest.main()
