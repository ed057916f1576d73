// placeholder, replaced by shared test helpers
