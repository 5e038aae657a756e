local n = 0
-- Start-up: an empty script (it only sets n, which every workload sets).
