# The options every kqsd module takes, documented once.


class ModuleDocFragment(object):
    DOCUMENTATION = r'''
options:
  server: {description: The kqsd server., type: str, default: 127.0.0.1}
  timeout: {description: Milliseconds to wait for each answer., type: int}
  kqsctl: {description: The kqsctl program on the node that runs the task., type: path, default: kqsctl}
'''
