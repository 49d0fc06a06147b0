#!/usr/bin/env python3
"""The manifest schema in docs/ accepts every example manifest, and refuses
each structural mistake the packer refuses (one change to the example each)."""
import copy
import glob
import json
import os
import unittest

import jsonschema

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SCHEMA = os.path.join(REPO, 'docs', 'manifest.schema.json')


def load(path):
    with open(path, encoding='utf-8') as f:
        return json.load(f)


class ManifestSchema(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.schema = load(SCHEMA)
        jsonschema.Draft202012Validator.check_schema(cls.schema)
        cls.validator = jsonschema.Draft202012Validator(cls.schema)
        cls.examples = sorted(glob.glob(os.path.join(REPO, 'examples', '**', '*.json'), recursive=True))

    def test_examples_are_valid(self):
        self.assertGreaterEqual(len(self.examples), 3)
        for path in self.examples:
            errors = [e.message for e in self.validator.iter_errors(load(path))]
            self.assertEqual(errors, [], os.path.relpath(path, REPO))

    def test_structural_mistakes_are_refused(self):
        def files0(m):
            return m['files'][0]
        mistakes = {
            'no strings': lambda m: m.pop('strings'),
            'a text missing': lambda m: m['strings'].pop('shared_unused'),
            'an unknown text': lambda m: m['strings'].update(title='x'),
            'an unknown top-level field': lambda m: m.update(version=1),
            'code page 0': lambda m: m.update(codepage=0),
            'code page as text': lambda m: m.update(codepage='1252'),
            'unknown key layout': lambda m: m.update(key_chunks='chunks'),
            'file without name': lambda m: files0(m).pop('name'),
            'file without dir': lambda m: files0(m).pop('dir'),
            'flag not a boolean': lambda m: files0(m).update(shared=1),
            'unknown file field': lambda m: files0(m).update(hidden=True),
            'zero byte in a name': lambda m: files0(m).update(name='a\0b'),
            'files not a list': lambda m: m.update(files={}),
            'shortcut without name': lambda m: m['shortcuts'][0].pop('name'),
            'unknown root name': lambda m: m['keys'][0].update(root='HKEY_PERFORMANCE_DATA'),
            'root over 32 bits': lambda m: m['keys'][0].update(root=2 ** 32),
            'key without path': lambda m: m['keys'][0].pop('path'),
            'force not a boolean': lambda m: m['keys'][0].update(force='yes'),
        }
        example = load(os.path.join(REPO, 'examples', 'vantor-gliders.json'))
        for what, change in mistakes.items():
            m = copy.deepcopy(example)
            change(m)
            self.assertFalse(self.validator.is_valid(m), what)


if __name__ == '__main__':
    unittest.main()
