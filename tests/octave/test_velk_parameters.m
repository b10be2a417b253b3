## velk_parameters loaded as a MEX file by Octave: the two character matrices
## (rows in global order, blank padding, empty results) and the load errors.
function test_velk_parameters ()
  rows_follow_global_order_padded_to_the_longest_name ();
  programs_without_ports_give_empty_char_matrices ();
  load_errors_raise_velk_parameter ();
  printf ("test_velk_parameters: all checks passed\n");
endfunction

function rows_follow_global_order_padded_to_the_longest_name ()
  image = velk_test_compile ("ports", [ ...
    "var uint8 : a_in = 0;\n", ...
    "var uint8 : b_out = 0;\n", ...
    "var uint8 : long_c_in = 0;\n", ...
    "var uint8 : plain = 0;\n", ...
    "var uint8 : speed_in_out = 0;\n", ...
    "var uint8 : z_out = 0;\n"]);
  [inputs, outputs] = velk_parameters (image);
  assert (ischar (inputs) && ischar (outputs));
  assert (inputs, ["a_in     "; "long_c_in"]);
  assert (size (inputs), [2 9]);
  assert (outputs, ["b_out       "; "speed_in_out"; "z_out       "]);
  ## One result asked for: the inputs alone.
  only = velk_parameters (image);
  assert (only, inputs);
  ## A single row is a plain character vector.
  [inputs, outputs] = velk_parameters (velk_test_compile ("one", ...
    "var bool : go_in = false;\nvar float32 : level_out = 0.0;\n"));
  assert (inputs, "go_in");
  assert (outputs, "level_out");
endfunction

function programs_without_ports_give_empty_char_matrices ()
  [inputs, outputs] = velk_parameters (velk_test_compile ("none", "var uint8 : plain = 0;\n"));
  for result = {inputs, outputs}
    assert (ischar (result{1}));
    assert (size (result{1}), [0 0]);
  endfor
  [inputs, outputs] = velk_parameters (velk_test_compile ("outs", "var uint8 : x_out = 0;\n"));
  assert (size (inputs), [0 0]);
  assert (outputs, "x_out");
endfunction

## Octave shows a MEX function's error message after the function's name.
function load_errors_raise_velk_parameter ()
  work = getenv ("VELK_TEST_WORK");
  good = velk_test_compile ("good", "var uint8 : a_in = 0;\n");
  fid = fopen (good, "r"); bytes = fread (fid, Inf, "uint8=>uint8"); fclose (fid);
  write_bytes (fullfile (work, "empty.ast"), uint8 ([]));
  broken = bytes; broken(1) = uint8 ("X");
  write_bytes (fullfile (work, "magic.ast"), broken);
  cases = {fullfile(work, "missing.ast"), 1;
           fullfile(work, "empty.ast"), 2;
           fullfile(work, "magic.ast"), 3;
           "", 1};
  for k = 1:rows (cases)
    path = cases{k, 1};
    velk_test_error (@() velk_parameters (path), "VELK:parameter", ...
                     sprintf ("velk_parameters: Error %d while loading", cases{k, 2}));
  endfor
  ## Not a name at all reads as an empty one.
  velk_test_error (@() velk_parameters (42), "VELK:parameter", ...
                   "velk_parameters: Error 1 while loading");
  velk_test_error (@() velk_parameters (), "VELK:parameter", ...
                   "velk_parameters: Error 1 while loading");
  ## The failed calls leave nothing behind: the good image still lists.
  assert (velk_parameters (good), "a_in");
endfunction

function write_bytes (path, bytes)
  fid = fopen (path, "w");
  fwrite (fid, bytes, "uint8");
  fclose (fid);
endfunction
