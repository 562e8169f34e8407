// The web client's terminal panel against the real agent (cases to come).
