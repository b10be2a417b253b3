## image = velk_test_compile (name, source)
## Compiles VELK source text with velk_parser into NAME.ast in the test's
## scratch directory and returns the image path; a compiler error fails the
## test. With a file name ending in .velk as SOURCE, compiles that file.
function image = velk_test_compile (name, source)
  work = getenv ("VELK_TEST_WORK");
  if (numel (source) > 5 && strcmp (source(end-4:end), ".velk"))
    velk = source;
  else
    velk = fullfile (work, [name ".velk"]);
    fid = fopen (velk, "w");
    fputs (fid, source);
    fclose (fid);
  endif
  image = fullfile (work, [name ".ast"]);
  [status, out] = system (sprintf ("VELK_PKG_PATH='%s' '%s' -q '%s' '%s' 2>&1", ...
                                   getenv ("VELK_SOURCE_DIR"), getenv ("VELK_PARSER"), ...
                                   velk, image));
  if (status != 0)
    error ("velk_test:compile", "velk_parser failed on %s (%d):\n%s", name, status, out);
  endif
endfunction
