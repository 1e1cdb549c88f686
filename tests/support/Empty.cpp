// The support library's anchor while the servers and fixtures of the tests live beside it.
