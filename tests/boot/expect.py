"""The one check the boot and script tests share: expect() records a failure
with its message and goes on, so that a test reports every fault it finds;
the test prints `failures` and sets its exit status from them."""

failures = []


def expect(condition, message):
    if not condition:
        failures.append(message)
    return condition
