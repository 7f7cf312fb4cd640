# -*- coding: utf-8 -*-
# The options every kqsd module takes, documented once.
# Copyright (c) kqsd developers
# MIT License (see LICENSE)

from __future__ import (absolute_import, division, print_function)
__metaclass__ = type


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  server:
    description:
      - The kqsd server.
    type: str
    default: 127.0.0.1
  timeout:
    description:
      - Milliseconds to wait for each answer.
    type: int
  kqsctl:
    description:
      - The kqsctl program on the node that runs the task.
    type: path
    default: kqsctl
'''
