#!/usr/bin/env python3
"""make test's check of the benchmark driver: its options parse, and the row plan is the rows a run
would time. Nothing is started and nothing is timed."""
import os, subprocess, sys, unittest

RUN = os.path.join(os.path.dirname(os.path.abspath(__file__)), 'run.py')


def driver(*args):
    return subprocess.run([sys.executable, RUN, *args], capture_output=True, text=True, timeout=60)


class DriverPlan(unittest.TestCase):
    def test_help_names_every_option(self):
        r = driver('--help')
        self.assertEqual(r.returncode, 0, r.stderr)
        for opt in ('--programs', '--sizes', '--concurrency', '--seconds', '--peers', '--no-peers', '--quick',
                    '--build-dir', '--stage-verbosity', '--results', '--plan'):
            self.assertIn(opt, r.stdout)

    def test_quick_plan_lists_the_rows_it_times(self):
        r = driver('--plan', '--quick', '--programs', 'stageproxy', '--peers', 'tinyproxy')
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assertEqual(r.stdout.splitlines(), [
            'nginx direct ab 1k 50', 'stageproxy hit ab 1k 50', 'tinyproxy relay ab 1k 50',
            'nginx direct wrk 1k 50', 'stageproxy hit wrk 1k 50', 'tinyproxy relay wrk 1k 50',
            'stageproxy miss wrk 1k 50', 'tinyproxy miss wrk 1k 50'])

    def test_full_plan_covers_every_size_and_concurrency(self):
        lines = driver('--plan').stdout.splitlines()
        # 3 sizes x 3 concurrencies; in each, 2 direct rows and 5 proxies x (ab, wrk, miss)
        self.assertEqual(len(lines), 9 * 17)
        self.assertEqual(len(set(lines)), len(lines))
        self.assertEqual((lines[0], lines[-1]), ('nginx direct ab 1k 1', 'tinyproxy miss wrk 90k 200'))
        self.assertEqual({l.split()[3] for l in lines}, {'1k', '10k', '90k'})
        self.assertEqual({l.split()[4] for l in lines}, {'1', '50', '200'})

    def test_options_change_the_plan(self):
        lines = driver('--plan', '--no-peers', '--programs', 'slotproxy', '--sizes', '90k',
                       '--concurrency', '1', '200').stdout.splitlines()
        self.assertEqual(len(lines), 2 * 5)
        self.assertFalse([l for l in lines if l.split()[0] in ('squid', 'tinyproxy', 'stampproxy', 'stageproxy')])
        self.assertEqual(lines[5], 'nginx direct ab 90k 200')

    def test_unknown_size_is_refused(self):
        r = driver('--plan', '--sizes', '2k')
        self.assertEqual(r.returncode, 2)
        self.assertIn('invalid choice', r.stderr)


if __name__ == '__main__':
    unittest.main()
