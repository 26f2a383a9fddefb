#!/usr/bin/env node
// Validates every line in the given .jsonl files (or folders of them)
// against docs/calvex-line.schema.json (files named pressure-*.jsonl against
// docs/calvex-pressure-line.schema.json), byte rules included: each line
// ends with a line feed and has no white space outside strings.
'use strict';
const fs = require('fs');
const path = require('path');

// A fresh clone may not have the pinned validator yet: that is a skipped
// check (CTest's skip code 77) with the command that installs it, not a failure.
let Ajv;
try {
  Ajv = require('ajv');
} catch (error) {
  console.log('SKIPPED: the pinned validator is not installed; run: npm ci --prefix tools/schema');
  process.exit(77);
}

const ajv = new Ajv({ allErrors: true });
const schema = (name) => ajv.compile(JSON.parse(fs.readFileSync(path.join(__dirname, '..', '..', 'docs', name), 'utf8')));
const validateSnapshotLine = schema('calvex-line.schema.json');
const validatePressureLine = schema('calvex-pressure-line.schema.json');

function filesIn(target) {
  if (!fs.existsSync(target)) return [];
  if (!fs.statSync(target).isDirectory()) return [target];
  return fs.readdirSync(target).filter((name) => name.endsWith('.jsonl')).map((name) => path.join(target, name));
}

// White space outside strings would show here as a blank between tokens.
function hasWhiteSpaceOutsideStrings(line) {
  let inString = false;
  for (let i = 0; i < line.length; i++) {
    const c = line[i];
    if (inString) {
      if (c === '\\') i++;
      else if (c === '"') inString = false;
    } else if (c === '"') inString = true;
    else if (c === ' ' || c === '\t' || c === '\r' || c === '\n') return true;
  }
  return false;
}

let lines = 0;
let failures = 0;
const files = process.argv.slice(2).flatMap(filesIn);
for (const file of files) {
  const text = fs.readFileSync(file, 'utf8');
  if (text.length > 0 && !text.endsWith('\n')) {
    console.log(`${file}: last line has no line feed`);
    failures++;
  }
  const validate = path.basename(file).startsWith('pressure-') ? validatePressureLine : validateSnapshotLine;
  for (const line of text.split('\n').slice(0, -1)) {
    lines++;
    let problem = null;
    try {
      if (!validate(JSON.parse(line))) problem = new Ajv().errorsText(validate.errors);
      else if (hasWhiteSpaceOutsideStrings(line)) problem = 'white space outside strings';
    } catch (error) {
      problem = `not JSON: ${error.message}`;
    }
    if (problem) {
      failures++;
      if (failures <= 20) console.log(`${file}: ${problem}: ${line.slice(0, 200)}`);
    }
  }
}
console.log(`${lines} lines from ${files.length} runs checked against the schema, ${failures} failed`);
process.exit(failures === 0 && lines > 0 ? 0 : 1);
