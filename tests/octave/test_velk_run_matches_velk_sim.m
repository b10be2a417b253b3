## velk_run in Octave against velk_sim on every bundled example: the same
## console text, the same hit times and the same output values, with
## constant inputs and with inputs that change over time.
function test_velk_run_matches_velk_sim ()
  source_dir = getenv ("VELK_SOURCE_DIR");
  examples = dir (fullfile (source_dir, "examples", "*", "*.velk"));
  assert (numel (examples) >= 4, "the examples are missing");
  ## Long enough for each model to go through its states.
  stop_times = struct ("blink", 2, "traffic_light", 20, "sensor_chain", 0.05, ...
                       "producer_consumer", 0.3);
  for k = 1:numel (examples)
    [~, name] = fileparts (examples(k).name);
    image = velk_test_compile (name, fullfile (examples(k).folder, examples(k).name));
    stop = 2;
    if (isfield (stop_times, name))
      stop = stop_times.(name);
    endif
    inputs = velk_parameters (image);
    inputs = cellstr (inputs)(! cellfun (@isempty, cellstr (inputs)));
    compare_runs (name, image, stop, inputs, "constant");
    if (! isempty (inputs))
      compare_runs (name, image, stop, inputs, "signal");
    endif
    printf ("%s: velk_run matches velk_sim\n", name);
  endfor
  printf ("test_velk_run_matches_velk_sim: all checks passed\n");
endfunction

function compare_runs (name, image, stop, inputs, kind)
  work = getenv ("VELK_TEST_WORK");
  csv = fullfile (work, [name "_" kind "_outputs.csv"]);
  if (strcmp (kind, "constant"))
    ## Input k holds k + 0.5 (a bool input reads it as true).
    values = num2cell ((1:numel (inputs)) + 0.5);
    pairs = [inputs(:)'; values];
    sim_args = "";
    if (! isempty (inputs))
      sim_args = sprintf (" -i %s=%.17g", pairs{:});
    endif
    run_args = {"Inputs", pairs(:)'};
  else
    ## Each input steps through values at fractions of the stop time, the
    ## first row after time 0 (so it starts from 0).
    times = stop * [0.1; 0.35; 0.35; 0.6; 0.85];
    levels = [2.5; -1; 1; 0; 3.25] * (1:numel (inputs));
    signal = [times, levels];
    table = fullfile (work, [name "_inputs.csv"]);
    fid = fopen (table, "w");
    fprintf (fid, "time%s\n", sprintf (",%s", inputs{:}));
    fprintf (fid, [repmat("%.17g,", 1, columns (signal) - 1) "%.17g\n"], signal');
    fclose (fid);
    sim_args = sprintf (" --inputs '%s'", table);
    run_args = {"InputSignals", signal};
  endif

  [status, sim_console] = system (sprintf ("'%s' -t %.17g%s -o '%s' '%s'", getenv ("VELK_SIM"), ...
                                           stop, sim_args, csv, image));
  if (status != 0)
    error ("velk_test:compare", "%s (%s): velk_sim failed:\n%s", name, kind, sim_console);
  endif
  run_console = evalc ("[t, y, names] = velk_run (image, 'StopTime', stop, run_args{:});");

  where = sprintf ("%s (%s inputs)", name, kind);
  if (! strcmp (run_console, sim_console))
    report_first_difference (where, sim_console, run_console);
  endif
  fid = fopen (csv, "r");
  header = strsplit (fgetl (fid), ",");
  fclose (fid);
  recorded = dlmread (csv, ",", 1, 0);
  ## The recorded numbers read back as the very doubles velk_sim had.
  check (isequal (names, header(2:end)), "%s: port names differ", where);
  check (isequal (t, recorded(:, 1)), "%s: hit times differ", where);
  check (isequal (y, recorded(:, 2:end)), "%s: output values differ", where);
  check (rows (t) > 1, "%s: a single hit proves little", where);
endfunction

function report_first_difference (where, expected, actual)
  e = strsplit (expected, "\n");
  a = strsplit (actual, "\n");
  for k = 1:max (numel (e), numel (a))
    left = "<end>"; right = "<end>";
    if (k <= numel (e)) left = e{k}; endif
    if (k <= numel (a)) right = a{k}; endif
    if (! strcmp (left, right))
      error ("velk_test:compare", "%s: consoles differ at line %d\n  velk_sim: %s\n  velk_run: %s", ...
             where, k, left, right);
    endif
  endfor
endfunction

function check (condition, format, varargin)
  if (! condition)
    error ("velk_test:compare", format, varargin{:});
  endif
endfunction
