// The web client's clipboard panel against the real agent (cases to come).
