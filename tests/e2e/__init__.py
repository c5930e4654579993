"""End-to-end tests through the simulated instrument tolvan-sim."""
