--[[
  calmora.lua: denoise the selected images with Calmora from darktable's
  lighttable, and take the results back grouped with their originals.

  Copyright (C) 2026 The Calmora developers
  SPDX-License-Identifier: GPL-3.0-or-later

  Install: copy this file to ~/.config/darktable/lua/calmora.lua (cmake
  --install puts it under share/calmora/darktable/), add the line
      require "calmora"
  to ~/.config/darktable/luarc and restart darktable. calmora-cli must be on
  the PATH, or its path set under preferences > lua options.

  Each selected image is exported as darktable develops it (a 16-bit TIFF in
  darktable's temporary folder), denoised by calmora-cli with the preset
  chosen under preferences > lua options ("auto" lets Calmora choose from the
  image's own noise), written beside the original as NAME_calmora.tif (or
  NAME_calmora_2.tif and so on: an existing file is never replaced) and
  imported into the original's group.
]]

local dt = require "darktable"

local SCRIPT = "calmora"

-- The choices of calmora-cli's --preset; "auto" first, as the default.
local PRESETS = {
  "auto", "Default", "Landscape", "Night Scene", "Portrait", "Film Grain Effect",
  "Stronger noise", "Stronger luma noise", "Stronger color noise", "Weaker noise",
  "Full suppression", "Full (stronger noise)", "Full (stronger luma)",
  "Full (stronger color)", "Full (weaker noise)",
}

dt.preferences.register(SCRIPT, "executable", "string", "Calmora: calmora-cli program",
  "the calmora-cli program, by name on the PATH or by full path", "calmora-cli")
dt.preferences.register(SCRIPT, "preset", "enum", "Calmora: preset",
  "the filter preset; auto chooses from each image's own noise", PRESETS[1],
  table.unpack(PRESETS))

-- One word for a POSIX shell, whatever the name holds.
local function quoted(text)
  return "'" .. text:gsub("'", "'\\''") .. "'"
end

-- The file's size in bytes, or nil where there is none.
local function size_of(path)
  local file = io.open(path, "rb")
  if not file then
    return nil
  end
  local size = file:seek("end")
  file:close()
  return size
end

local function exists(path)
  return size_of(path) ~= nil
end

local function non_empty(path)
  return (size_of(path) or 0) > 0
end

-- calmora-cli's last words on standard error: the reason a file failed.
local function last_line(path)
  local file = io.open(path, "r")
  if not file then
    return nil
  end
  local last
  for line in file:lines() do
    if line:find("%S") then
      last = line
    end
  end
  file:close()
  return last
end

-- A result never replaces a file, not even an earlier result the user kept.
local function free_name(folder, filename)
  local stem = filename:gsub("%.[^./]*$", "")
  local candidate = folder .. "/" .. stem .. "_calmora.tif"
  local n = 2
  while exists(candidate) do
    candidate = folder .. "/" .. stem .. "_calmora_" .. n .. ".tif"
    n = n + 1
  end
  return candidate
end

local function run(command)
  if dt.control and dt.control.execute then
    return dt.control.execute(command)
  end
  local ok, _, code = os.execute(command)
  return ok and 0 or (code or 1)
end

-- Returns the imported result, or nil and the reason.
local function denoise(image, program, preset)
  local exported = dt.configuration.tmp_dir .. "/calmora_" .. image.id .. ".tif"
  local format = dt.new_format("tiff")
  -- 16 bits, so that darktable's development reaches the filter without
  -- 8-bit banding and the engine works at its high depth.
  format.bpp = 16
  format:write_image(image, exported)
  if not non_empty(exported) then
    os.remove(exported)
    return nil, "darktable could not export it"
  end

  local result = free_name(image.path, image.filename)
  -- --no-learn: the export has been developed by darktable, so its noise is
  -- no longer the camera's own and must not join the profile Calmora learns
  -- for that camera and ISO speed from untouched photos.
  local command = table.concat({
    quoted(program), "denoise", "--quiet", "--no-learn",
    "--preset", quoted(preset), "-o", quoted(result), quoted(exported),
  }, " ")
  local messages = exported .. ".log"
  local status = run(command .. " 2>" .. quoted(messages))
  os.remove(exported)
  local said = last_line(messages)
  os.remove(messages)
  if status ~= 0 or not non_empty(result) then
    local reason = "calmora-cli failed (exit status " .. tostring(status) .. ")"
    return nil, said and (reason .. ": " .. said) or reason
  end

  local imported = dt.database.import(result)
  if not imported then
    return nil, "darktable could not import " .. result
  end
  imported:group_with(image)
  return imported
end

local function denoise_images(_, images)
  local program = dt.preferences.read(SCRIPT, "executable", "string")
  if program == nil or program == "" then
    program = "calmora-cli"
  end
  local preset = dt.preferences.read(SCRIPT, "preset", "enum")
  if preset == nil or preset == "" then
    preset = PRESETS[1]
  end

  local written, failed = 0, {}
  for i, image in ipairs(images) do
    dt.print(string.format("Calmora: %d of %d, %s", i, #images, image.filename))
    local imported, reason = denoise(image, program, preset)
    if imported then
      written = written + 1
    else
      dt.print_error("Calmora: " .. image.filename .. ": " .. reason)
      failed[#failed + 1] = image.filename .. " (" .. reason .. ")"
    end
  end
  -- The last message stays on screen, so it names what failed and why.
  local summary = string.format("Calmora: %d written, %d failed", written, #failed)
  if #failed > 0 then
    summary = summary .. ": " .. table.concat(failed, ", ")
  end
  dt.print(summary)
end

dt.gui.libs.image.register_action("calmora_denoise", "denoise with Calmora",
  denoise_images, "denoise the selected images with Calmora and import the results into their groups")

local script_data = {}
script_data.destroy = function()
  dt.gui.libs.image.destroy_action("calmora_denoise")
end
return script_data
