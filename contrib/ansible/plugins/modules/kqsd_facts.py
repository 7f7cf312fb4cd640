#!/usr/bin/python
# -*- coding: utf-8 -*-
# Reads what a kqsd print server tells about itself through kqsctl.

# Copyright (c) kqsd developers
# MIT License (see LICENSE)

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
module: kqsd_facts
short_description: What a kqsd print server offers
description:
  - Sets the fact C(kqsd) of a server, its discovery fields, its print
    queues, its printer models (drivers) and its print monitor, as
    C(kqsctl --json) reports them (camelCase keys). Runs kqsctl on the node
    that runs the task (C(connection=local) or C(delegate_to=localhost)).
author:
  - kqsd developers (!UNKNOWN)
attributes:
  check_mode:
    description: Reads only; runs the same in check mode.
    support: full
  facts:
    description: Sets the fact C(kqsd).
    support: full
extends_documentation_fragment:
  - kqsd.console.kqsctl
'''

EXAMPLES = r'''
- name: Read what the server offers
  kqsd.console.kqsd_facts:
    server: "{{ inventory_hostname }}"
  delegate_to: localhost

- name: Show its queues
  ansible.builtin.debug:
    var: kqsd.queues
'''

RETURN = r'''
ansible_facts:
  description: The fact C(kqsd).
  type: complex
  returned: always
  contains:
    kqsd:
      description:
        - C(discovery) (address, platform, uname, protocol, vMajor, vMinor,
          vUpdate, vBuild, install), C(queues) (each with its C(state),
          C(accepting) and C(jobs) count), C(jobs) (every unfinished job),
          C(drivers) and C(monitor) (null when none is installed).
      type: dict
      returned: always
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kqsd.console.plugins.module_utils.kqsctl import (
    fail_kqsctl, kqsctl_argument_spec, run_kqsctl)


def main():
    module = AnsibleModule(argument_spec=kqsctl_argument_spec(), supports_check_mode=True)
    facts = {}
    rc, doc, err = run_kqsctl(module, ['discover', '--to', module.params['server']], targeted=False)
    if rc != 0 or not doc:
        fail_kqsctl(module, rc, doc, err)
    facts['discovery'] = doc[0]
    for key, command in (('queues', 'queues'), ('drivers', 'drivers'), ('monitor', 'monitors'), ('jobs', 'jobs')):
        rc, doc, err = run_kqsctl(module, [command])
        if key == 'jobs' and rc != 0:
            doc = None  # a server older than kqsd 3.1 lists no jobs
        elif rc != 0 or not isinstance(doc, list):
            fail_kqsctl(module, rc, doc, err)
        facts[key] = doc if key != 'monitor' else (doc[0] if doc else None)
    module.exit_json(changed=False, ansible_facts=dict(kqsd=facts))


if __name__ == '__main__':
    main()
