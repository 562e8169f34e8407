// The web client's files panel against the real agent (cases to come).
