# config tests
