// Keeps the test-support library non-empty whatever the support folder holds.
