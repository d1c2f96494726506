-- The darktable script's logic, run under plain Lua against a stand-in for
-- darktable's API and a stand-in calmora-cli that logs its arguments: what is
-- exported, how the command is quoted, where the result goes, that nothing
-- is replaced, and what happens when a step fails.
-- Usage: lua5.4 darktable_test.lua SCRIPT
local script = assert(arg[1], "usage: darktable_test.lua SCRIPT")

local work = io.popen("mktemp -d"):read("l")
local function shell(command)
  assert(os.execute(command), command)
end

local function read(path)
  local file = io.open(path, "rb")
  if not file then
    return nil
  end
  local text = file:read("a")
  file:close()
  return text
end

local function write(path, text)
  local file = assert(io.open(path, "wb"))
  file:write(text)
  file:close()
end

-- calmora-cli's stand-in: logs one argument a line, copies the input to -o.
local fake = work .. "/fake-cli"
write(fake, [[#!/bin/sh
printf '%s\n' "$@" > "$(dirname "$0")/args.log"
out=""; prev=""
for a; do [ "$prev" = -o ] && out=$a; prev=$a; done
for last; do :; done
cp "$last" "$out"
]])
local failing = work .. "/failing-cli"
write(failing, "#!/bin/sh\necho 'No space left on device' >&2\nexit 1\n")
shell("chmod +x '" .. fake .. "' '" .. failing .. "'")

local state
local action
local prefs = {}
local defaults = {}
local dt = {
  configuration = { tmp_dir = work .. "/tmp" },
  preferences = {
    register = function(_, name, _, _, _, default) defaults[name] = default end,
    read = function(_, name) return prefs[name] or defaults[name] end,
  },
  new_format = function(kind)
    assert(kind == "tiff")
    return {
      write_image = function(self, image, filename)
        state.bpp = self.bpp
        state.exported = filename
        if not image.broken then
          write(filename, "pixels of " .. image.filename)
        end
      end,
    }
  end,
  control = {
    execute = function(command)
      state.commands = state.commands + 1
      local ok, _, code = os.execute(command)
      return ok and 0 or code
    end,
  },
  database = {
    import = function(path)
      local image = { path = path }
      function image:group_with(other) self.group = other end
      table.insert(state.imported, image)
      return image
    end,
  },
  gui = { libs = { image = {
    register_action = function(_, _, callback) action = callback end,
    destroy_action = function() end,
  } } },
  print = function(message) state.message = message end,
  print_error = function() end,
}
package.preload["darktable"] = function() return dt end
shell("mkdir -p '" .. dt.configuration.tmp_dir .. "'")
dofile(script)
assert(action, "the script registered no action")

local rows = {
  { name = "auto by default, a plain name", file = "pic.NEF",
    result = "pic_calmora.tif", preset = "auto" },
  { name = "a preset with a space, a name with a quote and spaces", file = "it's a pic.NEF",
    set = "Night Scene", result = "it's a pic_calmora.tif", preset = "Night Scene" },
  { name = "an earlier result is never replaced", file = "pic.tif", taken = "pic_calmora.tif",
    result = "pic_calmora_2.tif", preset = "auto" },
  { name = "calmora-cli fails", file = "pic.NEF", program = failing,
    fails = "exit status 1): No space left on device" },
  { name = "darktable cannot export", file = "pic.NEF", broken = true, fails = "could not export" },
}

local failures = 0
for index, row in ipairs(rows) do
  local folder = work .. "/row" .. index
  shell("mkdir -p '" .. folder .. "'")
  if row.taken then
    write(folder .. "/" .. row.taken, "kept")
  end
  prefs.preset = row.set
  prefs.executable = row.program or fake
  os.remove(work .. "/args.log")
  state = { commands = 0, imported = {} }
  local image = { id = index, path = folder, filename = row.file, broken = row.broken }
  action(nil, { image })

  local problems = {}
  local function expect(ok, what)
    if not ok then problems[#problems + 1] = what end
  end
  expect(state.bpp == 16, "exported at " .. tostring(state.bpp) .. " bits, not 16")
  expect(read(state.exported) == nil and read(state.exported .. ".log") == nil,
    "temporary files were left behind")
  if row.taken then
    expect(read(folder .. "/" .. row.taken) == "kept", "the earlier result was changed")
  end
  if row.fails then
    expect(#state.imported == 0, "a failed image was imported")
    expect(state.message:find("1 failed", 1, true) and state.message:find(row.fails, 1, true)
      and state.message:find(row.file, 1, true), "the summary says: " .. state.message)
    expect(not row.broken or state.commands == 0, "calmora-cli ran without an export")
  else
    local result = folder .. "/" .. row.result
    local args = {}
    for line in (read(work .. "/args.log") or ""):gmatch("[^\n]+") do args[#args + 1] = line end
    local wanted = { "denoise", "--quiet", "--no-learn", "--preset", row.preset, "-o", result,
      state.exported }
    expect(table.concat(args, "|") == table.concat(wanted, "|"),
      "calmora-cli got " .. table.concat(args, "|"))
    expect(read(result) == "pixels of " .. row.file, "no result at " .. result)
    expect(#state.imported == 1 and state.imported[1].path == result, "the result was not imported")
    expect(state.imported[1] and state.imported[1].group == image, "the result is not grouped")
    expect(state.message == "Calmora: 1 written, 0 failed", "the summary says: " .. state.message)
  end
  if #problems > 0 then
    failures = failures + 1
    print("FAIL " .. row.name .. ": " .. table.concat(problems, "; "))
  end
end

shell("rm -rf '" .. work .. "'")
if failures > 0 then
  os.exit(1)
end
print("PASS: " .. #rows .. " cases")
