# end-to-end tests (filled below)
