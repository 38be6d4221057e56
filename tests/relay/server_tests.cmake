# server tests
