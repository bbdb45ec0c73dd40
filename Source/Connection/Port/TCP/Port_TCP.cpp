// Port_TCP: implemented in the connection-core work.
