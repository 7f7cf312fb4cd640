#!/usr/bin/python
# -*- coding: utf-8 -*-
# Creates and removes print queues on a kqsd print server through kqsctl.

# Copyright (c) kqsd developers
# MIT License (see LICENSE)

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type

DOCUMENTATION = r'''
module: kqsd_queue
short_description: Print queues on a kqsd print server
description:
  - Creates or removes a print queue on a kqsd server by running
    C(kqsctl --json) on the node that runs the task; run it with
    C(connection=local) or C(delegate_to=localhost) and name the
    server with I(server).
  - C(present) on a queue that exists compares the settings the task gives
    with the server's (C(kqsctl status)) and changes those that differ in
    place (C(kqsctl modify-queue)), so the queue keeps its jobs; C(--diff)
    shows the differences. A queue made before kqsd 3.1 has no recorded
    settings and is left as it is, with a warning.
author:
  - kqsd developers (!UNKNOWN)
options:
  name:
    description:
      - The queue's name (letters, digits, C(_) and C(-); the first a letter or digit).
    type: str
    required: true
  state:
    description:
      - Whether the queue exists.
    type: str
    choices: [present, absent]
    default: present
  model:
    description:
      - The printer model (required with C(state=present)).
    type: str
  device:
    description:
      - The device (required with C(state=present)).
    type: str
  queue_class:
    description:
      - A class the queue joins.
    type: str
    aliases: [class]
  default:
    description:
      - Make the queue the default destination.
    type: bool
    default: false
  export:
    description:
      - The EXPort value.
    type: int
  ip_port:
    description:
      - The printer's TCP port.
    type: int
  type:
    description:
      - The model type (by default the model's name).
    type: str
  devtype:
    description:
      - The device type.
    type: str
  teoj:
    description:
      - Wait for the printer to close the connection at the end of each job.
    type: bool
    default: false
  jrecov:
    description:
      - Send a job again when the printer refuses or resets the connection.
    type: bool
    default: false
  banner:
    description:
      - Print a banner page.
    type: bool
    default: false
  pslevel:
    description:
      - PostScript level, 1 to 3.
    type: int
  personality:
    description:
      - The printer's personality.
    type: str
  enabled:
    description:
      - Whether the queue prints (C(false) stops it); left as it is when not given.
    type: bool
  accepting:
    description:
      - Whether the queue takes jobs; left as it is when not given.
    type: bool
  login:
    description:
      - The administrator password, for servers that enforce access.
    type: str
attributes:
  check_mode:
    description: Reports what would change without changing it.
    support: full
extends_documentation_fragment:
  - kqsd.console.kqsctl
'''

EXAMPLES = r'''
- name: The queue lab on every print server
  kqsd.console.kqsd_queue:
    server: "{{ inventory_hostname }}"
    name: lab
    model: postscript
    device: /dev/null
    login: "{{ kqsd_password }}"
  delegate_to: localhost
'''

RETURN = r'''
name:
  description: The queue's name.
  type: str
  returned: always
state:
  description: The state asked for.
  type: str
  returned: always
code_name:
  description: The server's return code name (also on failure).
  type: str
  returned: when the server answered
hint:
  description: The next step after a refusal.
  type: str
  returned: on failure, when known
'''

from ansible.module_utils.basic import AnsibleModule
from ansible_collections.kqsd.console.plugins.module_utils.kqsctl import (
    fail_kqsctl, kqsctl_argument_spec, run_kqsctl)

# Module option -> kqsctl option and the key of the server's settings
# (kqsctl status --json); booleans are switches.
VALUE_OPTIONS = (('model', '--model', 'model'), ('device', '--device', 'device'),
                 ('queue_class', '--class', 'class'), ('export', '--export', 'export'),
                 ('ip_port', '--ip-port', 'ipPort'), ('type', '--type', 'type'),
                 ('devtype', '--devtype', 'devtype'), ('pslevel', '--pslevel', 'pslevel'),
                 ('personality', '--personality', 'personality'))
SWITCHES = (('default', '--default'), ('teoj', '--teoj'), ('jrecov', '--jrecov'), ('banner', '--banner'))
FLAGS = ('teoj', 'jrecov', 'banner')


def flag_is_on(value):
    """The server counts a flag as on when its leading integer is not 0."""
    digits = ''
    for c in (value or '').lstrip(' \t'):
        if not c.isdigit():
            break
        digits += c
    return bool(digits) and int(digits) != 0


def settings_changes(p, status, module):
    """The modify-queue options that bring the queue to the task's settings,
    and the differences as before/after dictionaries."""
    settings = status.get('settings')
    if not isinstance(settings, dict):
        module.warn('the server keeps no settings for queue %s (made before kqsd 3.1): '
                    'remove and add it once to manage them' % p['name'])
        return [], {}, {}
    args, before, after = [], {}, {}
    for option, flag, key in VALUE_OPTIONS:
        if p[option] is not None and str(p[option]) != settings.get(key):
            args += [flag, str(p[option])]
            before[option], after[option] = settings.get(key), str(p[option])
    for option in FLAGS:
        if p[option] != flag_is_on(settings.get(option)):
            args.append('--' + option if p[option] else '--no-' + option)
            before[option], after[option] = not p[option], p[option]
    if p['default'] and not status.get('default'):
        args.append('--default')
        before['default'], after['default'] = False, True
    return args, before, after


def state_actions(p, status):
    """The enable/disable and accept/reject commands the task asks for."""
    actions = []
    if p['enabled'] is not None and (status.get('state') != 'stopped') != p['enabled']:
        actions.append('enable' if p['enabled'] else 'disable')
    if p['accepting'] is not None and status.get('accepting') is not p['accepting']:
        actions.append('accept' if p['accepting'] else 'reject')
    return actions


def main():
    spec = kqsctl_argument_spec()
    spec.update(
        name=dict(type='str', required=True),
        state=dict(type='str', choices=['present', 'absent'], default='present'),
        model=dict(type='str'), device=dict(type='str'),
        queue_class=dict(type='str', aliases=['class']),
        default=dict(type='bool', default=False),
        export=dict(type='int'), ip_port=dict(type='int'), type=dict(type='str'),
        devtype=dict(type='str'), teoj=dict(type='bool', default=False),
        jrecov=dict(type='bool', default=False), banner=dict(type='bool', default=False),
        pslevel=dict(type='int'), personality=dict(type='str'),
        enabled=dict(type='bool'), accepting=dict(type='bool'),
        login=dict(type='str', no_log=True),
    )
    module = AnsibleModule(argument_spec=spec, supports_check_mode=True,
                           required_if=[('state', 'present', ('model', 'device'))])
    p = module.params
    result = dict(changed=False, name=p['name'], state=p['state'])

    rc, queues, err = run_kqsctl(module, ['queues'])
    if rc != 0 or not isinstance(queues, list):
        fail_kqsctl(module, rc, queues, err, **result)
    exists = any(q.get('name') == p['name'] for q in queues)
    if p['state'] == 'absent' or not exists:
        if exists == (p['state'] == 'present'):
            module.exit_json(**result)
        if p['state'] == 'present':
            args = ['add-queue', p['name']]
            for option, flag, key in VALUE_OPTIONS:
                if p[option] is not None:
                    args += [flag, str(p[option])]
            args += [flag for option, flag in SWITCHES if p[option]]
            commands = [args] + [[a, p['name']] for a in
                                 (['disable'] if p['enabled'] is False else []) +
                                 (['reject'] if p['accepting'] is False else [])]
        else:
            commands = [['remove-queue', p['name']]]
    else:
        rc, status, err = run_kqsctl(module, ['status', p['name']])
        if rc != 0 or not isinstance(status, dict):
            fail_kqsctl(module, rc, status, err, **result)
        args, before, after = settings_changes(p, status, module)
        commands = ([['modify-queue', p['name']] + args] if args else []) + \
            [[a, p['name']] for a in state_actions(p, status)]
        for a in state_actions(p, status):
            key = 'enabled' if a in ('enable', 'disable') else 'accepting'
            before[key], after[key] = not p[key], p[key]
        if module._diff and commands:
            result['diff'] = dict(before=before, after=after)
    if not commands:
        module.exit_json(**result)
    result['changed'] = True
    if module.check_mode:
        module.exit_json(**result)

    doc = None
    for args in commands:
        if p['login'] is not None:
            args.append('--login')
        rc, doc, err = run_kqsctl(module, args, password=p['login'])
        if rc != 0:
            fail_kqsctl(module, rc, doc, err, **result)
    result['code_name'] = doc.get('codeName') if isinstance(doc, dict) else None
    module.exit_json(**result)


if __name__ == '__main__':
    main()
