# The fuzz harnesses: tests/fuzz/<name>_fuzz.cpp each, with seeds in
# corpus/<name>/ and findings kept in regressions/<name>/.
set(LMX_FUZZ_HARNESSES tar_header untgz archive_tar dump_text zip magic version registry)
