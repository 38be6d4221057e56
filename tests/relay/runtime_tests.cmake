# runtime tests
